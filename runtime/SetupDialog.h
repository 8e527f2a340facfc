// The setup dialog and the choices it fills in.
#pragma once

extern int gScreenWidth;
extern int gScreenHeight;
extern int gColorBits;
extern bool gFullscreen;
extern bool gVSync;
extern bool gHighResModels;
extern bool gAdditionalEffects;

// Modal; returns when "Start Demo" was pressed ("Exit" ends the process).
bool showSetupDialog();

// Test seam: the answers the dialog gives in place of a user.
namespace setup_test {
struct Choices {
  int width = 640, height = 480, colorBits = 32;
  bool fullscreen = true, vsync = true, highResModels = true, additionalEffects = true;
};
void presetChoices(const Choices& choices);
void clearChoices();
}  // namespace setup_test
