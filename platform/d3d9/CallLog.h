// The device's call log and frame capture (see D3D9TestSeams.h), as the
// device writes them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>

#include "platform/d3d9/D3D9TestSeams.h"

namespace d3d9 {

extern bool gCallLogEnabled;
extern bool gFrameCaptureEnabled;
void appendCallLog(std::string line);

// Failures that tests inject (see D3D9TestSeams.h).
extern bool gFailDirect3DCreate;
extern int gFailDeviceCreations;
extern HRESULT gFailDeviceCreationResult;
extern DWORD gFailRenderState;
extern int gFailStreamWaits;
void recordDeviceCreation(const d3d9_test::DeviceCreation& creation);
void storePresentedFrame(d3d9_test::Frame frame);

// A colour argument, printed in hexadecimal.
struct Hex {
  uint32_t value;
};

inline std::string logArgument(Hex h) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", unsigned(h.value));
  return text;
}
inline std::string logArgument(float f) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", double(f));
  return text;
}
inline std::string logArgument(double f) { return logArgument(float(f)); }
inline std::string logArgument(std::nullptr_t) { return "null"; }
template <typename T>
std::string logArgument(T* p) {
  return p ? "ptr" : "null";
}
template <typename T>
std::string logArgument(T value) requires std::is_integral_v<T> || std::is_enum_v<T> {
  if constexpr (std::is_enum_v<T>)
    return std::to_string(static_cast<long long>(value));
  else if constexpr (std::is_signed_v<T>)
    return std::to_string(static_cast<long long>(value));
  else
    return std::to_string(static_cast<unsigned long long>(value));
}

// Writes "name(arg, arg, ...)" to the log.
template <typename... Args>
[[gnu::noinline, gnu::cold]] void writeCallLog(const char* name, Args... args) {
  std::string line = name;
  line += '(';
  bool first = true;
  ((line += (first ? "" : ", "), line += logArgument(args), first = false), ...);
  line += ')';
  appendCallLog(std::move(line));
}

// Appends "name(arg, arg, ...)" when the log is on; costs one test when off
// (the writing stays out of line, so that the test is all a call inlines).
template <typename... Args>
[[gnu::always_inline]] inline void logCall(const char* name, Args... args) {
  if (gCallLogEnabled) [[unlikely]]
    writeCallLog(name, args...);
}

}  // namespace d3d9
