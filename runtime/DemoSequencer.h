// The demo's timeline. (A minimal first version: a description loads when
// its loose file can be opened, and frames draw nothing.)
#pragma once

#include <string>

class ScriptHost;
struct IDirect3DDevice9;

extern float gCurrentTime;

class DemoSequencer {
 public:
  DemoSequencer(ScriptHost* host, IDirect3DDevice9* device);
  ~DemoSequencer();
  bool loadDescription(const std::string& name);
  void initScenes();
  void renderFrame();

  ScriptHost* host;
  IDirect3DDevice9* device;
};

extern DemoSequencer* gDemoSequencer;
