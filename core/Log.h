// The warning sink and the fatal error box: the two ways the engine reports.
#pragma once

typedef void (*MessageHook)(const char* text);

// When set, receives every text given to logMessage; otherwise warnings are
// dropped. Nothing in the engine sets it.
extern MessageHook gLogHook;
// When set, receives the fatal error text in place of the message box.
extern MessageHook gFatalErrorHook;

void logMessage(const char* text);
[[noreturn]] void fatalError(const char* text);
