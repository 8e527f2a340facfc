#include "runtime/ScriptString.h"

#include <cstring>
#include <new>
#include <sstream>

#include "scriptapi/Binding.h"

namespace {

// Literals: one native string per literal, built from its bytes up to the
// first NUL (a literal with a NUL escape ends there).
class StringFactory : public asIStringFactory {
 public:
  const void* GetStringConstant(const char* data, asUINT length) override {
    return new std::string(data, strnlen(data, length));
  }
  int ReleaseStringConstant(const void* str) override {
    if (!str) return asERROR;
    delete static_cast<const std::string*>(str);
    return asSUCCESS;
  }
  int GetRawStringData(const void* str, char* data, asUINT* length) const override {
    if (!str) return asERROR;
    const std::string& s = *static_cast<const std::string*>(str);
    if (length) *length = asUINT(s.size());
    if (data) std::memcpy(data, s.data(), s.size());
    return asSUCCESS;
  }
};

StringFactory string_factory;

// The longest string that concatenation makes. A script that doubles a
// string in a loop would take all of memory within a few dozen steps (and
// one statement copying gigabytes does not give the window a chance to
// stop it); past this length the operation raises a script exception
// instead, which ends the running call, and the string keeps its value.
constexpr size_t kMaxStringLength = size_t(256) << 20;

bool joinFits(size_t a, size_t b) {
  if (a <= kMaxStringLength && b <= kMaxStringLength - a) return true;
  if (asIScriptContext* context = asGetActiveContext()) context->SetException("String too long");
  return false;
}

// string &opAddAssign(const string &in)
std::string& string_addAssign_string(const std::string& other, std::string* self) {
  if (joinFits(self->size(), other.size())) *self += other;
  return *self;
}

// void f()
void string_construct(std::string* self) { new (self) std::string(); }
// void f()
void string_destruct(std::string* self) { self->~basic_string(); }

// bool opEquals(const string &in) const
bool string_equal_string_string(const std::string& a, const std::string& b) { return a == b; }

// string opAdd(const string &in) const
// (A result that does not fit is returned empty: the exception discards it.)
std::string string_add_string_string(const std::string& a, const std::string& b) {
  return joinFits(a.size(), b.size()) ? a + b : std::string();
}

// string &letter(int) const
// The result is one string shared by every call from every engine.
std::string& string_letter(int index, const std::string* self) {
  static std::string letter;
  if (index >= 0 && size_t(index) < self->size())
    letter.assign(1, (*self)[size_t(index)]);
  else
    letter.clear();
  return letter;
}

// The four conversions of one number type: "=", "+=", "s + n" and "n + s".
template <typename T>
std::string& string_assign(T value, std::string* self) {
  *self = numberText(value);
  return *self;
}
template <typename T>
std::string& string_addAssign(T value, std::string* self) {
  const std::string text = numberText(value);
  if (joinFits(self->size(), text.size())) *self += text;
  return *self;
}
template <typename T>
std::string string_add_string_number(const std::string& s, T value) {
  const std::string text = numberText(value);
  return joinFits(s.size(), text.size()) ? s + text : std::string();
}
template <typename T>
std::string string_add_number_string(T value, const std::string& s) {
  const std::string text = numberText(value);
  return joinFits(text.size(), s.size()) ? text + s : std::string();
}

template <typename T>
void registerConversions(asIScriptEngine* engine, const char* type, RegistrationSum& r) {
  const std::string t = type;
  r += engine->RegisterObjectMethod("string", ("string &opAssign(" + t + ")").c_str(),
                                    asFUNCTION(string_assign<T>), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("string", ("string &opAddAssign(" + t + ")").c_str(),
                                    asFUNCTION(string_addAssign<T>), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("string", ("string opAdd(" + t + ") const").c_str(),
                                    asFUNCTION(string_add_string_number<T>), asCALL_CDECL_OBJFIRST);
  r += engine->RegisterObjectMethod("string", ("string opAdd_r(" + t + ") const").c_str(),
                                    asFUNCTION(string_add_number_string<T>), asCALL_CDECL_OBJLAST);
}

// bits: void f(), void f(uint), uint opImplConv() const
void bits_construct(ScriptBits* self) { self->value = 0; }
void bits_construct_uint(uint32_t value, ScriptBits* self) { self->value = value; }
uint32_t bits_toUint(const ScriptBits* self) { return self->value; }

// The bitwise operators keep their result a bits value, so that its text
// stays hexadecimal; the other operand is any 32-bit number (a bits value
// converts to uint). Shifts are logical: the value has no sign.
// bits opAnd(uint) const, bits opAnd_r(uint) const, and so on
ScriptBits bits_and(uint32_t other, const ScriptBits* self) { return {self->value & other}; }
ScriptBits bits_or(uint32_t other, const ScriptBits* self) { return {self->value | other}; }
ScriptBits bits_xor(uint32_t other, const ScriptBits* self) { return {self->value ^ other}; }
ScriptBits bits_shl(uint32_t count, const ScriptBits* self) {
  return {self->value << (count & 31)};
}
ScriptBits bits_shr(uint32_t count, const ScriptBits* self) {
  return {self->value >> (count & 31)};
}
// bits opCom() const
ScriptBits bits_com(const ScriptBits* self) { return {~self->value}; }
// bits &opAndAssign(uint), and so on
ScriptBits& bits_andAssign(uint32_t other, ScriptBits* self) {
  self->value &= other;
  return *self;
}
ScriptBits& bits_orAssign(uint32_t other, ScriptBits* self) {
  self->value |= other;
  return *self;
}
ScriptBits& bits_xorAssign(uint32_t other, ScriptBits* self) {
  self->value ^= other;
  return *self;
}
ScriptBits& bits_shlAssign(uint32_t count, ScriptBits* self) {
  self->value <<= (count & 31);
  return *self;
}
ScriptBits& bits_shrAssign(uint32_t count, ScriptBits* self) {
  self->value >>= (count & 31);
  return *self;
}

int registerBits(asIScriptEngine* engine) {
  RegistrationSum r;
  r += engine->RegisterObjectType("bits", sizeof(ScriptBits),
                                  asOBJ_VALUE | asOBJ_POD | asOBJ_APP_PRIMITIVE);
  r += engine->RegisterObjectBehaviour("bits", asBEHAVE_CONSTRUCT, "void f()",
                                       asFUNCTION(bits_construct), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectBehaviour("bits", asBEHAVE_CONSTRUCT, "void f(uint)",
                                       asFUNCTION(bits_construct_uint), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "uint opImplConv() const", asFUNCTION(bits_toUint),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits opAnd(uint) const", asFUNCTION(bits_and),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits opAnd_r(uint) const", asFUNCTION(bits_and),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits opOr(uint) const", asFUNCTION(bits_or),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits opOr_r(uint) const", asFUNCTION(bits_or),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits opXor(uint) const", asFUNCTION(bits_xor),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits opXor_r(uint) const", asFUNCTION(bits_xor),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits opShl(uint) const", asFUNCTION(bits_shl),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits opShr(uint) const", asFUNCTION(bits_shr),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits opUShr(uint) const", asFUNCTION(bits_shr),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits opCom() const", asFUNCTION(bits_com),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits &opAndAssign(uint)", asFUNCTION(bits_andAssign),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits &opOrAssign(uint)", asFUNCTION(bits_orAssign),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits &opXorAssign(uint)", asFUNCTION(bits_xorAssign),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits &opShlAssign(uint)", asFUNCTION(bits_shlAssign),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits &opShrAssign(uint)", asFUNCTION(bits_shrAssign),
                                    asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod("bits", "bits &opUShrAssign(uint)", asFUNCTION(bits_shrAssign),
                                    asCALL_CDECL_OBJLAST);
  return r.value();
}

}  // namespace

std::string numberText(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

std::string numberText(int32_t value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

std::string numberText(uint32_t value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

std::string numberText(ScriptBits value) {
  std::ostringstream out;
  out << std::hex << value.value;
  return out.str();
}

int initString(asIScriptEngine* engine) {
  RegistrationSum r;
  r += registerBits(engine);
  r += engine->RegisterObjectType("string", sizeof(std::string),
                                  asOBJ_VALUE | asGetTypeTraits<std::string>());
  r += engine->RegisterStringFactory("string", &string_factory);
  r += engine->RegisterObjectBehaviour("string", asBEHAVE_CONSTRUCT, "void f()",
                                       asFUNCTION(string_construct), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectBehaviour("string", asBEHAVE_DESTRUCT, "void f()",
                                       asFUNCTION(string_destruct), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod(
      "string", "string &opAssign(const string &in)",
      asMETHODPR(std::string, operator=, (const std::string&), std::string&), asCALL_THISCALL);
  r += engine->RegisterObjectMethod("string", "string &opAddAssign(const string &in)",
                                    asFUNCTION(string_addAssign_string), asCALL_CDECL_OBJLAST);
  // "==" and "!=" come from opEquals, "<", ">", "<=" and ">=" from opCmp:
  // the native compare looks at unsigned byte values, the shorter of two
  // strings sharing a prefix being the smaller.
  r += engine->RegisterObjectMethod("string", "bool opEquals(const string &in) const",
                                    asFUNCTION(string_equal_string_string), asCALL_CDECL_OBJFIRST);
  r += engine->RegisterObjectMethod(
      "string", "int opCmp(const string &in) const",
      asMETHODPR(std::string, compare, (const std::string&) const, int), asCALL_THISCALL);
  r += engine->RegisterObjectMethod("string", "string opAdd(const string &in) const",
                                    asFUNCTION(string_add_string_string), asCALL_CDECL_OBJFIRST);
  r += engine->RegisterObjectMethod("string", "uint length() const", asMETHOD(std::string, size),
                                    asCALL_THISCALL);
  r += engine->RegisterObjectMethod("string", "string &letter(int) const",
                                    asFUNCTION(string_letter), asCALL_CDECL_OBJLAST);
  registerConversions<double>(engine, "double", r);
  registerConversions<int32_t>(engine, "int", r);
  registerConversions<uint32_t>(engine, "uint", r);
  registerConversions<ScriptBits>(engine, "bits", r);
  return r.value();
}
