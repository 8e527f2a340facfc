// The part of the Windows programming interface that the engine calls,
// provided over SDL2: basic types, the output window, message boxes, the
// keyboard state, the millisecond tick counter and the working directory.
#pragma once

#include <cstdint>

struct SDL_Window;

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef int32_t HRESULT;
typedef int64_t LONG_PTR;
typedef uint64_t UINT_PTR;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef void* LPVOID;
typedef void* HANDLE;
typedef void* HINSTANCE;
typedef void* HMENU;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define S_OK ((HRESULT)0)
#define E_FAIL ((HRESULT)0x80004005)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

struct RECT {
  LONG left, top, right, bottom;
};
struct POINT {
  LONG x, y;
};

// A window of ours. `sdlWindow` is null when the program runs without a
// display: the device then renders offscreen and shows nothing.
struct HWND__ {
  SDL_Window* sdlWindow = nullptr;
  int x = 0, y = 0, width = 0, height = 0;
  bool visible = false;
  bool minimised = false;
};
typedef HWND__* HWND;

// Window styles (only those the engine names).
#define WS_VISIBLE 0x10000000L
#define WS_SYSMENU 0x00080000L
#define WS_POPUP 0x80000000L

// Message box styles and answers.
#define MB_OK 0x00000000L
#define MB_ICONWARNING 0x00000030L
#define MB_ICONERROR 0x00000010L
#define MB_SYSTEMMODAL 0x00001000L
#define IDOK 1

// Virtual key codes.
#define VK_ESCAPE 0x1B

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
BOOL CloseWindow(HWND window);    // minimises, as on Windows
BOOL DestroyWindow(HWND window);  // frees the window and its handle
int ShowCursor(BOOL show);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
short GetAsyncKeyState(int virtualKey);
DWORD GetTickCount();
int _chdir(const char* path);
char* _getcwd(char* buffer, int size);

// True when there is no display to show windows on; everything still runs
// and renders offscreen.
bool platformHeadless();
// Pumps pending window-system events (key latches, quit requests).
void platformPumpEvents();
// A request to end the show as Escape does, from a signal (SIGINT, SIGTERM)
// or from a script call that was stopped while it ran long. Once made, every
// later GetAsyncKeyState(VK_ESCAPE) answers "pressed". Safe to make from a
// signal handler or another thread.
void platformRequestStop();
// Pumps the events and tells whether Escape is down or was pressed (or the
// window closed) since the last GetAsyncKeyState test, without taking that
// press away from the next test.
bool platformEscapePending();
bool platformStopRequested();
// Makes SIGINT and SIGTERM request the stop instead of ending the process
// (a handler that was there before, such as the window system's, still
// runs after ours).
void platformCatchStopSignals();
