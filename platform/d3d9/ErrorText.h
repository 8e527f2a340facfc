// Readable descriptions of the device's result codes, for messages to the
// user.
#pragma once

#include "platform/win32/Win32.h"

const char* DXGetErrorDescription9A(HRESULT result);
