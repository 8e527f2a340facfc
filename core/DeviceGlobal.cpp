#include "core/DeviceGlobal.h"

IDirect3DDevice9* gDevice = nullptr;
