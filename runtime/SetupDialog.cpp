#include "runtime/SetupDialog.h"

int gScreenWidth = 0;
int gScreenHeight = 0;
int gColorBits = 0;
bool gFullscreen = false;
bool gVSync = false;
bool gHighResModels = false;
bool gAdditionalEffects = false;

// Until the dialog is drawn, it answers its defaults as if "Start Demo" had
// been pressed at once.
bool showSetupDialog() {
  gScreenWidth = 640;
  gScreenHeight = 480;
  gColorBits = 32;
  gFullscreen = true;
  gVSync = true;
  gHighResModels = true;
  gAdditionalEffects = true;
  return true;
}
