// The setup dialog: video mode, colour depth, windowed output and three
// quality switches, with the splash picture beside them.
#include "runtime/SetupDialog.h"

#include <cstdlib>
#include <cstring>

#include "resources/ResourceIds.h"
#include "runtime/WinMain.h"

int gScreenWidth = 0;
int gScreenHeight = 0;
int gColorBits = 0;
bool gFullscreen = false;
bool gVSync = false;
bool gHighResModels = false;
bool gAdditionalEffects = false;

const char* const gVideoModeNames[8] = {"320x200",  "320x240",  "640x480",   "800x600",
                                        "1024x768", "1280x960", "1280x1024", "1600x1200"};

namespace {

setup_test::Choices gPreset;
bool gPresetActive = false;

const struct {
  int width, height;
} kVideoModes[8] = {{320, 200},  {320, 240},  {640, 480},   {800, 600},
                    {1024, 768}, {1280, 960}, {1280, 1024}, {1600, 1200}};

void initDialog(HWND window) {
  SetWindowTextA(window, "TQ07");
  for (const char* name : gVideoModeNames)
    SendDlgItemMessageA(window, IDC_VIDEO_MODE, CB_ADDSTRING, 0, LPARAM(name));
  SendDlgItemMessageA(window, IDC_VIDEO_MODE, CB_SETCURSEL, 2, 0);
  gFullscreen = true;
  CheckDlgButton(window, IDC_WINDOWED, BST_UNCHECKED);
  CheckRadioButton(window, IDC_16_BIT, IDC_32_BIT, IDC_32_BIT);
  gColorBits = 32;
  CheckDlgButton(window, IDC_HIGH_RES_MODELS, BST_CHECKED);
  CheckDlgButton(window, IDC_ADDITIONAL_EFFECTS, BST_CHECKED);
  CheckDlgButton(window, IDC_VSYNC, BST_CHECKED);
  gHighResModels = true;
  gAdditionalEffects = true;
  gVSync = true;
}

// Decoded anew at every paint, scaled to the frame, upright.
void drawSplash(HWND window) {
  int size = 0;
  const void* bytes = loadResource(MAKEINTRESOURCEA(IDR_SPLASH), "BINARY", size);
  if (!bytes) fatalStartupError("Unable to resolve splash screen as a resource.");
  IPicture* picture = loadPictureFromMemory(bytes, size);
  if (!picture) fatalStartupError("Unable to LoadiPicture with splash screen.");
  OLE_XSIZE_HIMETRIC width = 0;
  OLE_YSIZE_HIMETRIC height = 0;
  picture->get_Width(&width);
  picture->get_Height(&height);

  // The frame paints itself first, then the picture goes over it.
  HWND frame = GetDlgItem(window, IDC_PICTURE_FRAME);
  InvalidateRect(frame, nullptr, TRUE);
  UpdateWindow(frame);
  HDC dc = GetDC(frame);
  RECT client{};
  GetClientRect(frame, &client);
  picture->Render(dc, client.left, client.top, client.right - client.left,
                  client.bottom - client.top, 0, height, width, -height, nullptr);
  ReleaseDC(frame, dc);
  picture->Release();
}

}  // namespace

bool showSetupDialog() {
  if (gPresetActive) {
    gScreenWidth = gPreset.width;
    gScreenHeight = gPreset.height;
    gColorBits = gPreset.colorBits;
    gFullscreen = gPreset.fullscreen;
    gVSync = gPreset.vsync;
    gHighResModels = gPreset.highResModels;
    gAdditionalEffects = gPreset.additionalEffects;
    return true;
  }
  DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SETUP), nullptr, setupDialogProc,
                  0);
  return true;
}

BOOL setupDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      initDialog(window);
      return FALSE;
    case WM_COMMAND:
      // Only the control matters, not what happened to it.
      switch (LOWORD(wParam)) {
        case IDC_WINDOWED:
          gFullscreen = !gFullscreen;
          return FALSE;
        case IDC_HIGH_RES_MODELS:
          gHighResModels = !gHighResModels;
          return FALSE;
        case IDC_ADDITIONAL_EFFECTS:
          gAdditionalEffects = !gAdditionalEffects;
          return FALSE;
        case IDC_VSYNC:
          gVSync = !gVSync;
          return FALSE;
        case IDC_16_BIT:
          gColorBits = 16;
          return FALSE;
        case IDC_32_BIT:
          gColorBits = 32;
          return FALSE;
        case IDC_START_DEMO:
          readVideoMode(window);
          EndDialog(window, 0);
          return TRUE;
        case IDC_EXIT:
          EndDialog(window, 0);
          std::exit(0);
        default:
          return FALSE;
      }
    case WM_CLOSE:
      std::exit(0);
    case WM_PAINT:
      drawSplash(window);
      return FALSE;
    default:
      return FALSE;
  }
}

void readVideoMode(HWND dialog) {
  LRESULT selection = SendDlgItemMessageA(dialog, IDC_VIDEO_MODE, CB_GETCURSEL, 0, 0);
  if (selection < 0 || selection > 7)
    fatalStartupError("Unable to translate video mode selection.");
  gScreenWidth = kVideoModes[selection].width;
  gScreenHeight = kVideoModes[selection].height;
}

const void* loadResource(LPCSTR name, LPCSTR type, int& size) {
  HRSRC found = FindResourceA(nullptr, name, type);
  if (!found) return nullptr;
  HGLOBAL loaded = LoadResource(nullptr, found);
  if (!loaded) return nullptr;
  DWORD bytes = SizeofResource(nullptr, found);
  if (bytes == 0) return nullptr;
  size = int(bytes);
  return LockResource(loaded);
}

IPicture* loadPictureFromMemory(const void* data, int size) {
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size_t(size));
  if (!memory) return nullptr;
  void* copy = GlobalLock(memory);
  if (!copy) {
    GlobalFree(memory);
    return nullptr;
  }
  std::memcpy(copy, data, size_t(size));
  GlobalUnlock(memory);
  IStream* stream = nullptr;
  if (FAILED(CreateStreamOnHGlobal(memory, FALSE, &stream))) {
    GlobalFree(memory);
    return nullptr;
  }
  IPicture* picture = nullptr;
  HRESULT result =
      OleLoadPicture(stream, size, TRUE, IID_IPicture, reinterpret_cast<LPVOID*>(&picture));
  stream->Release();
  GlobalFree(memory);
  return SUCCEEDED(result) ? picture : nullptr;
}

namespace setup_test {
void presetChoices(const Choices& choices) {
  gPreset = choices;
  gPresetActive = true;
}
void clearChoices() { gPresetActive = false; }
}  // namespace setup_test
