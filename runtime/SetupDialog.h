// The setup dialog and the choices it fills in.
#pragma once

#include "platform/win32/Dialog.h"
#include "platform/win32/OlePicture.h"

extern int gScreenWidth;
extern int gScreenHeight;
extern int gColorBits;
extern bool gFullscreen;
extern bool gVSync;
extern bool gHighResModels;
extern bool gAdditionalEffects;

// The video modes the list offers, in list order.
extern const char* const gVideoModeNames[8];

// Modal; returns when "Start Demo" was pressed ("Exit" and closing the
// dialog end the process with code 0). Returns true whatever the dialog
// answered: a dialog that cannot be made leaves every choice at zero.
bool showSetupDialog();

BOOL setupDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The selected list entry -> gScreenWidth, gScreenHeight.
void readVideoMode(HWND dialog);
// The bytes of one of the program's resources; null when it is missing or
// empty.
const void* loadResource(LPCSTR name, LPCSTR type, int& size);
// A picture decoded from the bytes; null when they are not one.
IPicture* loadPictureFromMemory(const void* data, int size);

// Test seam: the answers the dialog gives in place of a user.
namespace setup_test {
struct Choices {
  int width = 640, height = 480, colorBits = 32;
  bool fullscreen = true, vsync = true, highResModels = true, additionalEffects = true;
};
void presetChoices(const Choices& choices);
void clearChoices();
}  // namespace setup_test
