// The COM base every reference-counted interface of the platform derives
// from: AddRef and Release, with the count type they answer.
#pragma once

#include "platform/win32/Win32.h"

typedef DWORD ULONG;

struct IUnknown {
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  virtual ~IUnknown() = default;
};
