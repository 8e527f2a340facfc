// The program's entry routine: setup dialog, window, device, resource store,
// script host and sequencer; then the demo clock and the frame loop.
#include "runtime/WinMain.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/DeviceGlobal.h"
#include "core/TQDatabase.h"
#include "platform/d3d9/D3D9.h"
#include "platform/d3d9/ErrorText.h"
#include "runtime/DemoSequencer.h"
#include "runtime/ScriptHost.h"
#include "runtime/SetupDialog.h"

namespace {

// The description's name and, for loose files, the working directory, from
// the command line. The store is a package when the line names one (or is
// empty), otherwise loose files named relative to the description's folder.
// `folderEntered` turns false when that folder cannot be made the working
// directory: a description of the same name in the current folder is then
// not the one that was named.
std::string chooseStore(const char* commandLine, TQDatabaseFilesystem& files,
                        TQDatabasePackedFile& package, bool& folderEntered) {
  folderEntered = true;
  if (std::strstr(commandLine, ".dat")) {
    package.open(commandLine);
    gDatabase = &package;
    return "main.demo";
  }
  size_t length = std::strlen(commandLine);
  if (length == 0) {
    package.open("demo.dat");
    gDatabase = &package;
    return "main.demo";
  }
  gDatabase = &files;
  // The last backslash separates the folder; one in the first position is
  // part of the name.
  for (size_t i = length - 1; i >= 1; --i) {
    if (commandLine[i] == '\\') {
      std::string folder(commandLine, i);
      folderEntered = _chdir(folder.c_str()) == 0;
      return std::string(commandLine + i + 1);
    }
  }
  return commandLine;
}

void releaseDevice(IDirect3DDevice9* device, IDirect3D9* d3d, HWND window) {
  device->Release();
  d3d->Release();
  gDevice = nullptr;
  CloseWindow(window);
  ShowCursor(TRUE);
}

// The package store first, then the loose-file store; the pointer to the one
// in use goes with them.
void destroyStores(TQDatabasePackedFile* package, TQDatabaseFilesystem* files) {
  delete package;
  delete files;
  gDatabase = nullptr;
}

}  // namespace

void fatalStartupError(const char* text) {
  MessageBoxA(nullptr, text, "Exiting Demo (Failure)", MB_ICONWARNING);
  std::exit(1);
}

std::string buildCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  for (char& c : line)
    if (c == '/') c = '\\';
  return line;
}

int WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  const char* line = commandLine ? commandLine : "";

  showSetupDialog();
  // From here on SIGINT and SIGTERM end the show as Escape does, with the
  // whole shutdown below.
  platformCatchStopSignals();
  if (!gHighResModels) gReduceLOD = 1;
  if (!gAdditionalEffects) gNoPostProcess = 1;

  HWND window = CreateWindowExA(0, "Static", nullptr, WS_VISIBLE | WS_SYSMENU, 0, 0, 800, 600,
                                nullptr, nullptr, nullptr, nullptr);

  IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
  if (!d3d) fatalStartupError("Failed to init Direct3D 9 device");

  D3DPRESENT_PARAMETERS params = {};
  params.BackBufferWidth = UINT(gScreenWidth);
  params.BackBufferHeight = UINT(gScreenHeight);
  params.BackBufferFormat = gColorBits == 32 ? D3DFMT_X8R8G8B8 : D3DFMT_R5G6B5;
  params.BackBufferCount = 0;
  params.MultiSampleType = D3DMULTISAMPLE_NONE;
  params.MultiSampleQuality = 0;
  params.SwapEffect = D3DSWAPEFFECT_DISCARD;
  params.hDeviceWindow = window;
  params.Windowed = gFullscreen ? FALSE : TRUE;
  params.EnableAutoDepthStencil = TRUE;
  params.AutoDepthStencilFormat = D3DFMT_D16;
  params.Flags = 0;
  params.FullScreen_RefreshRateInHz = 0;
  params.PresentationInterval =
      gVSync ? D3DPRESENT_INTERVAL_DEFAULT : D3DPRESENT_INTERVAL_IMMEDIATE;

  IDirect3DDevice9* device = nullptr;
  HRESULT result = d3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window,
                                     D3DCREATE_HARDWARE_VERTEXPROCESSING, &params, &device);
  if (FAILED(result)) {
    result = d3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window,
                               D3DCREATE_SOFTWARE_VERTEXPROCESSING, &params, &device);
    if (FAILED(result)) {
      char message[2032];
      std::snprintf(message, sizeof message, "Failed to create DirectX device:\n%s\n",
                    DXGetErrorDescription9A(result));
      fatalStartupError(message);
    }
  }
  gDevice = device;

  if (FAILED(device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE))) {
    releaseDevice(device, d3d, window);
    MessageBoxA(nullptr, "DirectX init error - basic renderstate", "Error", MB_OK);
    return 1;
  }
  device->SetRenderState(D3DRS_LIGHTING, FALSE);
  device->SetRenderState(D3DRS_ZENABLE, TRUE);

  // Both stores live for the whole run, whichever one is used.
  TQDatabaseFilesystem* files = new TQDatabaseFilesystem;
  TQDatabasePackedFile* package = new TQDatabasePackedFile;
  bool folderEntered = true;
  std::string descriptionName = chooseStore(line, *files, *package, folderEntered);

  ScriptHost* host = new ScriptHost;
  DemoSequencer* sequencer = new DemoSequencer(host, gDevice);

  // A folder that cannot be entered ends the run as a description that does
  // not load.
  if (!folderEntered || !sequencer->loadDescription(descriptionName)) {
    // The host and the sequencer stay: no scriplet's "died" runs here.
    releaseDevice(device, d3d, window);
    MessageBoxA(nullptr, "Error loading demo", "Error", MB_OK);
    destroyStores(package, files);
    return 1;
  }
  sequencer->initScenes();

  if (gFullscreen) {
    ShowCursor(FALSE);
    device->Present(nullptr, nullptr, nullptr, nullptr);
  }

  DWORD anchor = GetTickCount();
  while (GetAsyncKeyState(VK_ESCAPE) == 0) {
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0, 1.0f, 0);
    // Taken without a sign, the difference stays right for the counter's
    // whole cycle of 49.7 days; with one, the demo time would turn
    // negative after 24.8 days and every scene would stop.
    const DWORD elapsed = GetTickCount() - anchor;
    host->setTime(float(elapsed) * 0.001f);
    sequencer->renderFrame();
    if (gTimeResyncRequest) {
      // Demo time goes on from the frame that started the music: the time
      // spent loading it is not counted.
      // Held within the counter's range (the conversion of a float
      // beyond it is undefined), truncated toward zero.
      const double resumeAt = std::clamp(double(gCurrentTime) * 1000.0, 0.0, 4294967295.0);
      anchor = GetTickCount() - DWORD(resumeAt);
      gTimeResyncRequest = false;
    }
    device->Present(nullptr, nullptr, nullptr, nullptr);
    if (gEndDemo) break;
  }

  delete sequencer;
  delete host;
  device->Release();
  d3d->Release();
  gDevice = nullptr;
  destroyStores(package, files);
  return 0;
}
