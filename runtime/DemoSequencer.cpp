#include "runtime/DemoSequencer.h"

#include <cstdio>

#include "core/TQDatabase.h"
#include "platform/file/FileSystem.h"

float gCurrentTime = 0.0f;
DemoSequencer* gDemoSequencer = nullptr;

DemoSequencer::DemoSequencer(ScriptHost* host, IDirect3DDevice9* device) : host(host), device(device) {
  gDemoSequencer = this;
}

DemoSequencer::~DemoSequencer() {
  if (gDemoSequencer == this) gDemoSequencer = nullptr;
}

bool DemoSequencer::loadDescription(const std::string& name) {
  if (name.empty() || dynamic_cast<TQDatabaseFilesystem*>(gDatabase) == nullptr) return false;
  FILE* file = openFile(name.c_str(), "rb");
  if (!file) return false;
  std::fclose(file);
  return true;
}

void DemoSequencer::initScenes() {}

void DemoSequencer::renderFrame() {}
