#include "platform/d3d9/ErrorText.h"

const char* DXGetErrorDescription9A(HRESULT result) {
  switch (uint32_t(result)) {
    case 0x00000000u:
      return "The function completed successfully";
    case 0x80004005u:
      return "An undetermined error occurred";
    case 0x8007000Eu:
      return "Ran out of memory";
    case 0x80070057u:
      return "An invalid parameter was passed to the returning function";
    case 0x80004001u:
      return "The function is not implemented";
    case 0x8876086Cu:
      return "The method call is invalid. For example, a method's parameter may have an invalid value.";
    case 0x8876086Au:
      return "This device does not support the queried technique.";
    case 0x8876017Cu:
      return "Direct3D does not have enough display memory to perform the operation.";
    case 0x88760868u:
      return "The device has been lost but cannot be reset at this time.";
    case 0x88760869u:
      return "The device has been lost but can be reset at this time.";
    case 0x88760827u:
      return "Internal driver error.";
    case 0x88760866u:
      return "The requested device type is not valid.";
    default:
      return "Unknown error.";
  }
}
