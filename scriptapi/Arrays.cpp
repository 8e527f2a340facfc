#include "scriptapi/Arrays.h"

#include <angelscript.h>

#include <cstdio>
#include <new>

#include "core/Log.h"
#include "scriptapi/Binding.h"

using namespace AngelScript;

namespace {

// A script's arrayTexture(n) larger than this gets no elements.
constexpr long long kMaxElements = 1ll << 20;

bool inRange(const char* method, int i, size_t length) {
  if (i >= 0 && size_t(i) < length) return true;
  char text[128];
  snprintf(text, sizeof text, "arrayTexture.%s: index %d outside the array of %zu, ignored", method,
           i, length);
  logMessage(text);
  return false;
}

}  // namespace

ArrayTexture::ArrayTexture(int n) {
  if (n <= 0) return;
  if (n > kMaxElements) {
    char text[128];
    snprintf(text, sizeof text, "arrayTexture(%d): too many elements, the array stays empty", n);
    logMessage(text);
    return;
  }
  elements.resize(size_t(n));
}

void ArrayTexture::set(int i, const TextureHandle& t) {
  if (inRange("set", i, elements.size())) elements[size_t(i)] = t;
}

void ArrayTexture::get(int i, TextureHandle& out) const {
  if (inRange("get", i, elements.size())) out = elements[size_t(i)];
}

namespace {

// arrayTexture()
void arrayTexture_construct(ArrayTexture* self) { new (self) ArrayTexture(); }

// arrayTexture(int n)
void arrayTexture_construct_int(int n, ArrayTexture* self) { new (self) ArrayTexture(n); }

// arrayTexture &opAssign(const arrayTexture &in): the target takes the
// source's length; surplus elements drop their references.
ArrayTexture* arrayTexture_assign(const ArrayTexture* source, ArrayTexture* self) {
  if (source != self) self->elements = source->elements;
  return self;
}

// void set(int, texture): the by-value argument goes when the call returns.
void arrayTexture_set(int i, TextureHandle t, ArrayTexture* self) { self->set(i, t); }

void arrayTexture_destruct(ArrayTexture* self) { self->~ArrayTexture(); }

// void get(int, texture &out)
void arrayTexture_get(int i, TextureHandle* out, ArrayTexture* self) { self->get(i, *out); }

}  // namespace

int initArrays(asIScriptEngine* engine) {
  const char* t = "arrayTexture";
  const asDWORD objLast = asCALL_CDECL_OBJLAST;
  RegistrationSum r;
  r += engine->RegisterObjectType(t, sizeof(ArrayTexture),
                                  asOBJ_VALUE | asGetTypeTraits<ArrayTexture>());
  r += engine->RegisterObjectBehaviour(t, asBEHAVE_CONSTRUCT, "void f()",
                                       asFUNCTION(arrayTexture_construct), objLast);
  r += engine->RegisterObjectBehaviour(t, asBEHAVE_CONSTRUCT, "void f(int)",
                                       asFUNCTION(arrayTexture_construct_int), objLast);
  r += engine->RegisterObjectMethod(t, "arrayTexture &opAssign(const arrayTexture &in)",
                                    asFUNCTION(arrayTexture_assign), objLast);
  r += engine->RegisterObjectMethod(t, "void set(int,texture)", asFUNCTION(arrayTexture_set),
                                    objLast);
  r += engine->RegisterObjectBehaviour(t, asBEHAVE_DESTRUCT, "void f()",
                                       asFUNCTION(arrayTexture_destruct), objLast);
  r += engine->RegisterObjectMethod(t, "void get(int,texture &out)", asFUNCTION(arrayTexture_get),
                                    objLast);
  return finishRegistration(r, "TQScrip - initArrays failed");
}
