// Where the platform's warnings go. The platform only declares the sink;
// the engine's log installs itself in it, and until something does the
// warnings are dropped.
#pragma once

typedef void (*PlatformLogSink)(const char* text);

void setPlatformLogSink(PlatformLogSink sink);
void platformLog(const char* text);
