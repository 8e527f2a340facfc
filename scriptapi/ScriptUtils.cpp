#include "scriptapi/ScriptUtils.h"

#include <angelscript.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "core/DemoState.h"
#include "core/DeviceGlobal.h"
#include "core/Log.h"
#include "platform/d3dx/D3DXMath.h"
#include "scriptapi/Binding.h"

using namespace AngelScript;

int gQualitySetting2 = 1;
int gQualitySetting3 = 1;

namespace {
// The calendar clock the generator is seeded from; tests put their own.
time_t (*gCalendarClock)() = nullptr;
}  // namespace

namespace script_utils_test {
void setCalendarClock(time_t (*clock)()) { gCalendarClock = clock; }
}  // namespace script_utils_test

extern "C" void gTQScript_setDevice(IDirect3DDevice9* device) { gDevice = device; }

float randfFromDraw(int r) {
  const float kStep = 0.00010001f;
  return (float)((r % 10000) * kStep);
}

namespace {

// A draw of 0 to 32767. The C library's generator gives 31 bits here; its
// upper 15 keep the range and spread that the scripts were written for.
int draw() { return (::rand() >> 16) & 0x7fff; }

// --- log output ------------------------------------------------------------
// The messages are formatted into fixed buffers; a message that does not fit
// is cut off at the end of its buffer.

// void logPrint(string)
void logPrint(std::string text) { logMessage(text.c_str()); }

// void logPrint1f(string &in, float &in)
void logPrint1f(const std::string* text, const float* value) {
  char buffer[128];
  snprintf(buffer, sizeof buffer, "%s %f", text->c_str(), *value);
  logMessage(buffer);
}

// void logPrint1v(string &in, vector3 &in)
void logPrint1v(const std::string* text, const D3DXVECTOR3* v) {
  char buffer[128];
  snprintf(buffer, sizeof buffer, "%s %f %f %f", text->c_str(), v->x, v->y, v->z);
  logMessage(buffer);
}

// void logPrint1m(string &in, matrix4 &in)
void logPrint1m(const std::string* text, const D3DXMATRIX* m) {
  char buffer[1024];
  snprintf(buffer, sizeof buffer, "%s\n%f %f %f %f\n%f %f %f %f\n%f %f %f %f\n%f %f %f %f",
           text->c_str(), m->_11, m->_12, m->_13, m->_14, m->_21, m->_22, m->_23, m->_24, m->_31,
           m->_32, m->_33, m->_34, m->_41, m->_42, m->_43, m->_44);
  logMessage(buffer);
}

// --- scene, demo and quality -----------------------------------------------

float getSceneStart() { return gSceneStart; }
float getSceneEnd() { return gSceneEnd; }
float getSceneProgress() { return gSceneProgress; }

// void endDemo(): the main loop leaves after the current frame.
void endDemo() { gEndDemo = true; }

// int engineGetQualitySettings(int)
int engineGetQualitySettings(int which) {
  switch (which) {
    case 0:
      return gReduceLOD;
    case 1:
      return gNoPostProcess;
    case 2:
      return gQualitySetting2;
    case 3:
      return gQualitySetting3;
    default:
      return 0;
  }
}

int engineGetQualitySettings_ReduceLOD() { return gReduceLOD; }
int engineGetQualitySettings_NoPostProcess() { return gNoPostProcess; }

// --- random numbers --------------------------------------------------------

// float randf(): one of the 10000 values 0.0 to 1.0.
float randf() { return randfFromDraw(draw()); }

// int rand(int n): 0 to |n| - 1; rand(0) is 0.
int script_rand(int n) {
  int r = draw();
  if (n == 0) return 0;
  return r % n;
}

// --- scalar math -----------------------------------------------------------

float script_sin(const float* x) { return std::sin(*x); }
float script_cos(const float* x) { return std::cos(*x); }
float script_tan(const float* x) { return std::tan(*x); }
float script_asin(const float* x) { return (float)std::asin((double)*x); }
float script_acos(const float* x) { return (float)std::acos((double)*x); }
float script_atan(const float* x) { return (float)std::atan2((double)*x, 1.0); }

// pi is taken as 3.14159265 in both conversions.
float degrees(const float* x) { return (float)((double)*x * 180.0 * 0.31830988654751274); }
float radians(const float* x) { return (float)((double)*x * 0.017453292500000002); }

float script_pow(const float* x, const float* y) { return (float)std::pow((double)*x, (double)*y); }
float script_sqrt(const float* x) { return std::sqrt(*x); }
float script_abs(const float* x) { return std::fabs(*x); }
float script_floor(const float* x) { return (float)std::floor((double)*x); }
float script_ceil(const float* x) { return (float)std::ceil((double)*x); }
float mod(const float* x, const float* y) { return (float)std::fmod((double)*x, (double)*y); }

float fract(const float* x) {
  double v = *x;
  return (float)(v - std::floor(v));
}

// a unless b is smaller: min(NaN, 1) is NaN, min(1, NaN) is 1.
float script_min(const float* a, const float* b) {
  return (*a < *b || std::isunordered(*a, *b)) ? *a : *b;
}

// a when it is larger, else b: max(NaN, 1) is 1, max(1, NaN) is NaN.
float script_max(const float* a, const float* b) { return *a > *b ? *a : *b; }

float clampValue(float x, float lo, float hi) {
  if (x < lo || std::isunordered(x, lo)) return lo;
  if (x > hi) return hi;
  return x;
}

// float clamp(x, lo, hi): lo for x below lo or unordered with it.
float clamp(const float* x, const float* lo, const float* hi) { return clampValue(*x, *lo, *hi); }

float mix(const float* a, const float* b, const float* t) { return (1.0f - *t) * *a + *b * *t; }

float step(const float* edge, const float* x) { return *x > *edge ? 1.0f : 0.0f; }

// With equal edges the quotient is infinite or NaN and the clamp turns it
// into 1 above the edge and 0 otherwise.
float smoothstep(const float* e0, const float* e1, const float* x) {
  float q = (*x - *e0) / (*e1 - *e0);
  float t = clampValue(q, 0.0f, 1.0f);
  return t * t * (3.0f - 2.0f * t);
}

// Truncates toward zero through 64 bits and keeps the low 32: values beyond
// the int range wrap, values beyond the 64-bit range and NaN give 0.
int floatToInt(const float* x) {
  double v = *x;
  if (!(v >= -0x1p63 && v < 0x1p63)) return 0;
  return (int32_t)(uint32_t)(uint64_t)(int64_t)v;
}

float intToFloat(const int* x) { return (float)*x; }

}  // namespace

int initTQScriptUtils(asIScriptEngine* engine) {
  srand((unsigned)(gCalendarClock ? gCalendarClock() : time(nullptr)));

  RegistrationSum r;
  r += engine->RegisterGlobalFunction("void logPrint(string)", asFUNCTION(logPrint), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void logPrint1f(string &in,float &in)",
                                      asFUNCTION(logPrint1f), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void logPrint1v(string &in,vector3 &in)",
                                      asFUNCTION(logPrint1v), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void logPrint1m(string &in,matrix4 &in)",
                                      asFUNCTION(logPrint1m), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float getSceneStart()", asFUNCTION(getSceneStart),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float getSceneEnd()", asFUNCTION(getSceneEnd), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float getSceneProgress()", asFUNCTION(getSceneProgress),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void endDemo()", asFUNCTION(endDemo), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("int engineGetQualitySettings(int)",
                                      asFUNCTION(engineGetQualitySettings), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("int engineGetQualitySettings_ReduceLOD()",
                                      asFUNCTION(engineGetQualitySettings_ReduceLOD), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("int engineGetQualitySettings_NoPostProcess()",
                                      asFUNCTION(engineGetQualitySettings_NoPostProcess),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float randf()", asFUNCTION(randf), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("int rand(int)", asFUNCTION(script_rand), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float sin(float &in)", asFUNCTION(script_sin), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float cos(float &in)", asFUNCTION(script_cos), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float tan(float &in)", asFUNCTION(script_tan), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float asin(float &in)", asFUNCTION(script_asin),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float acos(float &in)", asFUNCTION(script_acos),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float atan(float &in)", asFUNCTION(script_atan),
                                      asCALL_CDECL);
  r +=
      engine->RegisterGlobalFunction("float degrees(float &in)", asFUNCTION(degrees), asCALL_CDECL);
  r +=
      engine->RegisterGlobalFunction("float radians(float &in)", asFUNCTION(radians), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float pow(float &in,float &in)", asFUNCTION(script_pow),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float sqrt(float &in)", asFUNCTION(script_sqrt),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float abs(float &in)", asFUNCTION(script_abs), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float floor(float &in)", asFUNCTION(script_floor),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float ceil(float &in)", asFUNCTION(script_ceil),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float mod(float &in,float &in)", asFUNCTION(mod),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float fract(float &in)", asFUNCTION(fract), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float min(float &in,float &in)", asFUNCTION(script_min),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float max(float &in,float &in)", asFUNCTION(script_max),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float clamp(float &in,float &in,float &in)",
                                      asFUNCTION(clamp), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float mix(float &in,float &in,float &in)", asFUNCTION(mix),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float step(float &in,float &in)", asFUNCTION(step),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float smoothstep(float &in,float &in,float &in)",
                                      asFUNCTION(smoothstep), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("int floatToInt(float &in)", asFUNCTION(floatToInt),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float intToFloat(int &in)", asFUNCTION(intToFloat),
                                      asCALL_CDECL);
  finishRegistration(r, "TQScript - initTQScriptUtils failed");
  return 0;
}
