#include "runtime/SetupDialog.h"

int gScreenWidth = 0;
int gScreenHeight = 0;
int gColorBits = 0;
bool gFullscreen = false;
bool gVSync = false;
bool gHighResModels = false;
bool gAdditionalEffects = false;

namespace {
setup_test::Choices gPreset;
bool gPresetActive = false;
}  // namespace

// Until the dialog is drawn, it answers its defaults as if "Start Demo" had
// been pressed at once.
bool showSetupDialog() {
  setup_test::Choices choices = gPresetActive ? gPreset : setup_test::Choices{};
  gScreenWidth = choices.width;
  gScreenHeight = choices.height;
  gColorBits = choices.colorBits;
  gFullscreen = choices.fullscreen;
  gVSync = choices.vsync;
  gHighResModels = choices.highResModels;
  gAdditionalEffects = choices.additionalEffects;
  return true;
}

namespace setup_test {
void presetChoices(const Choices& choices) {
  gPreset = choices;
  gPresetActive = true;
}
void clearChoices() { gPresetActive = false; }
}  // namespace setup_test
