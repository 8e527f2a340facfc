#include "scriptapi/VectorN.h"

#include <angelscript.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "core/Log.h"
#include "scriptapi/Binding.h"

using namespace AngelScript;

namespace {

// A script's vectorN(n) larger than this gets no elements: zero-filling
// gigabytes on a typo would stall or exhaust the machine.
constexpr long long kMaxElements = 1ll << 26;

}  // namespace

VectorN::VectorN(int n) {
  if (n <= 0) return;
  if (n > kMaxElements) {
    char text[128];
    snprintf(text, sizeof text, "vectorN(%d): too many elements, the vector stays empty", n);
    logMessage(text);
    return;
  }
  try {
    elements_.assign((size_t)n, 0.0f);
  } catch (const std::bad_alloc&) {
    logMessage("vectorN: out of memory, the vector stays empty");
  }
}

VectorN::VectorN(float* buffer, size_t length)
    : alias_(std::make_shared<VectorNAlias>(VectorNAlias{buffer, buffer ? length : 0})),
      lent_(alias_) {}

VectorN::~VectorN() {
  if (lent_) *lent_ = VectorNAlias{nullptr, 0};
}

VectorN& VectorN::operator=(const VectorN& source) {
  if (this == &source) return *this;
  try {
    elements_ = source.elements_;
  } catch (const std::bad_alloc&) {
    elements_.clear();
    logMessage("vectorN: out of memory, the vector becomes empty");
  }
  alias_ = source.alias_;
  return *this;
}

float* VectorN::storage() const {
  if (alias_) return alias_->data;
  return const_cast<float*>(elements_.data());
}

size_t VectorN::length() const { return alias_ ? alias_->length : elements_.size(); }

float* VectorN::span(const char* method, long long first, long long count) const {
  long long length = (long long)this->length();
  if (first >= 0 && count >= 0 && first <= length && count <= length - first) {
    return storage() + first;
  }
  char text[160];
  snprintf(text, sizeof text,
           "vectorN.%s: floats %lld to %lld lie outside the storage of %lld, ignored", method,
           first, first + count - 1, length);
  logMessage(text);
  return nullptr;
}

void VectorN::set(int i, float value) {
  if (float* p = span("set", i, 1)) p[0] = value;
}

void VectorN::set3(int i, float x, float y, float z) {
  if (float* p = span("set3", 3ll * i, 3)) {
    p[0] = x;
    p[1] = y;
    p[2] = z;
  }
}

void VectorN::set4(int i, float x, float y, float z, float w) {
  if (float* p = span("set4", 4ll * i, 4)) {
    p[0] = x;
    p[1] = y;
    p[2] = z;
    p[3] = w;
  }
}

void VectorN::setVector3(int i, const D3DVECTOR& v) {
  if (float* p = span("setVector3", 3ll * i, 3)) {
    p[0] = v.x;
    p[1] = v.y;
    p[2] = v.z;
  }
}

float VectorN::get(int i) const {
  const float* p = span("get", i, 1);
  return p ? p[0] : 0.0f;
}

void VectorN::getVector3(int i, D3DVECTOR& out) const {
  if (const float* p = span("getVector3", 3ll * i, 3)) {
    out = D3DVECTOR{p[0], p[1], p[2]};
  } else {
    out = D3DVECTOR{0.0f, 0.0f, 0.0f};
  }
}

void VectorN::copyN(int src, int dst, int n) {
  if (n == 0) return;
  float* from = span("copyN", src, n);
  float* to = from ? span("copyN", dst, n) : nullptr;
  // memmove copies as if through a temporary buffer, so overlapping ranges
  // come out right.
  if (to) memmove(to, from, (size_t)n * sizeof(float));
}

// --- script bindings -------------------------------------------------------

// vectorN()
static void vectorN_construct(VectorN* self) { new (self) VectorN(); }

// vectorN(int n)
static void vectorN_construct_int(int n, VectorN* self) { new (self) VectorN(n); }

// vectorN &opAssign(const vectorN &in)
static VectorN* vectorN_assign(const VectorN* source, VectorN* self) {
  *self = *source;
  return self;
}

// void set(int, float)
static void vectorN_set(int i, float value, VectorN* self) { self->set(i, value); }

// void setVector3(int &in, vector3 &in)
static void vectorN_setVector3(const int* i, const D3DVECTOR* v, VectorN* self) {
  self->setVector3(*i, *v);
}

// void set3(int, float, float, float)
static void vectorN_set3(int i, float x, float y, float z, VectorN* self) {
  self->set3(i, x, y, z);
}

// void set4(int, float, float, float, float)
static void vectorN_set4(int i, float x, float y, float z, float w, VectorN* self) {
  self->set4(i, x, y, z, w);
}

static void vectorN_destruct(VectorN* self) { self->~VectorN(); }

// float get(int) const
static float vectorN_get(int i, const VectorN* self) { return self->get(i); }

// void getVector3(int &in, vector3 &out) const
static void vectorN_getVector3(const int* i, D3DVECTOR* out, const VectorN* self) {
  self->getVector3(*i, *out);
}

// void copyN(int src, int dst, int n)
static void vectorN_copyN(int src, int dst, int n, VectorN* self) { self->copyN(src, dst, n); }

void registerVectorN(asIScriptEngine* engine, RegistrationSum& r) {
  const char* t = "vectorN";
  r += engine->RegisterObjectBehaviour(t, asBEHAVE_CONSTRUCT, "void f()",
                                       asFUNCTION(vectorN_construct), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectBehaviour(t, asBEHAVE_CONSTRUCT, "void f(int)",
                                       asFUNCTION(vectorN_construct_int), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod(t, "vectorN &opAssign(const vectorN &in)",
                                    asFUNCTION(vectorN_assign), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod(t, "void set(int,float)", asFUNCTION(vectorN_set),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod(t, "void setVector3(int &in,vector3 &in)",
                                    asFUNCTION(vectorN_setVector3), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod(t, "void set3(int,float,float,float)", asFUNCTION(vectorN_set3),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod(t, "void set4(int,float,float,float,float)",
                                    asFUNCTION(vectorN_set4), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectBehaviour(t, asBEHAVE_DESTRUCT, "void f()",
                                       asFUNCTION(vectorN_destruct), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod(t, "float get(int) const", asFUNCTION(vectorN_get),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod(t, "void getVector3(int &in,vector3 &out) const",
                                    asFUNCTION(vectorN_getVector3), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod(t, "void copyN(int,int,int)", asFUNCTION(vectorN_copyN),
                                    asCALL_CDECL_OBJLAST);
}
