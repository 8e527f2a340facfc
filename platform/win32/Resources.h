// The program's own resources, looked up the Windows way: by type and name,
// where either may be a number (MAKEINTRESOURCEA) or a string. The table
// itself is the program's (resources/Resources.cpp); the platform only
// searches it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32/Win32.h"

typedef void* HGLOBAL;
struct HRSRC__;
typedef HRSRC__* HRSRC;

// A number in place of a name: the low word, with nothing above it.
#define MAKEINTRESOURCEA(i) ((LPCSTR)(uintptr_t)(WORD)(i))
#define IS_INTRESOURCE(p) ((((uintptr_t)(p)) >> 16) == 0)

#define RT_ICON MAKEINTRESOURCEA(3)
#define RT_DIALOG MAKEINTRESOURCEA(5)
#define RT_GROUP_ICON MAKEINTRESOURCEA(14)

// Language ids.
#define LANG_ENGLISH_US 0x0409

HINSTANCE GetModuleHandleA(LPCSTR moduleName);  // null: the program itself
HRSRC FindResourceA(HINSTANCE module, LPCSTR name, LPCSTR type);
HGLOBAL LoadResource(HINSTANCE module, HRSRC resource);
DWORD SizeofResource(HINSTANCE module, HRSRC resource);
LPVOID LockResource(HGLOBAL loaded);

namespace win32_resources {

// One resource of the program. `data` points at the bytes of a binary
// resource, or at the structure a typed resource is (a dialog template).
struct Entry {
  LPCSTR type;
  LPCSTR name;
  WORD language;
  const void* data;
  DWORD size;
};

// The program's table (defined with the resources) and its length.
const Entry* programResources(size_t& count);

}  // namespace win32_resources
