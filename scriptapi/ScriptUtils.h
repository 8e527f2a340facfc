// The script utilities: log output, random numbers, scalar math, the timing
// of the running scene, ending the demo and the quality settings.
#pragma once

#include <ctime>

namespace AngelScript {
class asIScriptEngine;
}
struct IDirect3DDevice9;

// Two quality settings beyond the setup dialog's; both stay 1.
extern int gQualitySetting2;
extern int gQualitySetting3;

// Reseeds the C library's random generator from the calendar time and
// registers the 36 utility functions. Logs "TQScript - initTQScriptUtils
// failed" once when any registration is rejected. Returns 0.
int initTQScriptUtils(AngelScript::asIScriptEngine* engine);

// Exported by name: sets the device that the script API draws with from its
// next call on.
extern "C" void gTQScript_setDevice(IDirect3DDevice9* device);

// The result of randf for a draw r (0 to RAND_MAX) of the generator.
float randfFromDraw(int r);

// Test seam: the calendar clock, in seconds, that every registration seeds
// the generator from; null restores the C library's time().
namespace script_utils_test {
void setCalendarClock(time_t (*clock)());
}  // namespace script_utils_test
