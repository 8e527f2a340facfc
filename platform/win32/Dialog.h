// Modal dialogs built from a dialog template among the program's resources,
// with the controls the program's dialogs use: static frames, drop-down
// combo boxes, push buttons, automatic check boxes and radio buttons. A
// dialog shows in a window of its own when there is a display; without one
// it still runs (see DialogBoxParamA).
#pragma once

#include <cstdint>

#include "platform/win32/DeviceContext.h"
#include "platform/win32/Gdi.h"
#include "platform/win32/Resources.h"
#include "platform/win32/Win32.h"

typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t INT_PTR;
typedef BOOL (*DLGPROC)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#define LOWORD(v) ((WORD)(((uintptr_t)(v)) & 0xFFFF))
#define HIWORD(v) ((WORD)((((uintptr_t)(v)) >> 16) & 0xFFFF))
#define MAKEWPARAM(low, high) ((WPARAM)(((WORD)(low)) | (((uintptr_t)(WORD)(high)) << 16)))

// Messages.
#define WM_CLOSE 0x0010
#define WM_PAINT 0x000F
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111

// Command ids the dialog manager sends itself.
#define IDCANCEL 2

// Window, dialog and control styles.
#define WS_CHILD 0x40000000L
#define WS_CAPTION 0x00C00000L
#define WS_VSCROLL 0x00200000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define DS_CENTER 0x0800L
#define SS_BLACKFRAME 0x00000007L
#define CBS_DROPDOWN 0x0002L
#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BS_AUTOCHECKBOX 0x00000003L
#define BS_AUTORADIOBUTTON 0x00000009L
#define BS_TYPEMASK 0x0000000FL

// Button states and notifications.
#define BST_UNCHECKED 0
#define BST_CHECKED 1
#define BN_CLICKED 0

// Combo box messages, answers and notifications.
#define CB_GETLBTEXT 0x0148
#define CB_ADDSTRING 0x0143
#define CB_GETCOUNT 0x0146
#define CB_GETCURSEL 0x0147
#define CB_SETCURSEL 0x014E
#define CB_ERR (-1)
#define CBN_SELCHANGE 1
#define CBN_EDITCHANGE 5

// A dialog template: the dialog and its controls, positions and sizes in
// dialog units (a quarter of the font's average character width across,
// an eighth of its height down).
struct DialogControlTemplate {
  WORD id;
  LPCSTR className;  // "Static", "ComboBox" or "Button"
  LPCSTR text;       // null: none
  DWORD style;
  short x, y, cx, cy;
};
struct DialogTemplate {
  DWORD style;
  DWORD exStyle;
  short x, y, cx, cy;
  LPCSTR caption;
  LPCSTR fontName;
  WORD pointSize;
  const DialogControlTemplate* controls;
  WORD controlCount;
};

// Runs the dialog named `templateName` (an RT_DIALOG resource of `instance`)
// until its procedure calls EndDialog, and answers EndDialog's result; -1
// when the dialog cannot be made. The procedure receives WM_INITDIALOG with
// `param`, WM_PAINT whenever the dialog needs painting and WM_COMMAND for
// control notifications; Enter sends the default push button's command
// (the focused push button's, when one has the focus), Escape IDCANCEL,
// closing the window WM_CLOSE. Tab and Shift+Tab move the focus between the
// controls with WS_TABSTOP, in template order; the arrow keys move within a
// group of radio buttons, checking the one they reach, and up and down step
// through a combo box's list; Space presses the focused button.
// Without a display nobody can answer the dialog: it is made and painted
// and then answered by its default push button, and a note says so on the
// standard error stream.
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC dialogProc,
                        LPARAM param);
BOOL EndDialog(HWND dialog, INT_PTR result);

BOOL SetWindowTextA(HWND window, LPCSTR text);
int GetWindowTextA(HWND window, LPSTR buffer, int size);
HWND GetDlgItem(HWND dialog, int id);
LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
BOOL CheckDlgButton(HWND dialog, int id, UINT check);
UINT IsDlgButtonChecked(HWND dialog, int id);
BOOL CheckRadioButton(HWND dialog, int firstId, int lastId, int checkId);

// Painting: an invalidated window paints itself (its background, when
// erasing) at UpdateWindow; what is then drawn through GetDC (Gdi.h) stays
// until the window is painted again.
BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase);
BOOL UpdateWindow(HWND window);
BOOL GetClientRect(HWND window, RECT* rect);
