// Feeds arbitrary text to the description reader and plays a few frames of
// whatever it built. Scene files that exist: "s.as" (a scriplet with every
// entry); any other name is a missing scriplet. The target works in a
// scratch folder of its own, so give libFuzzer absolute corpus paths.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "core/DeviceGlobal.h"
#include "core/TQDatabase.h"
#include "fuzz/scratch.h"
#include "platform/d3d9/D3D9.h"
#include "platform/win32/Win32.h"
#include "runtime/DemoSequencer.h"
#include "runtime/ScriptHost.h"

namespace {

struct QuietDevice : IDirect3DDevice9 {
  HRESULT BeginScene() override { return D3D_OK; }
  HRESULT EndScene() override { return D3D_OK; }
  HRESULT Clear(DWORD, const D3DRECT*, DWORD, D3DCOLOR, float, DWORD) override { return D3D_OK; }
  HRESULT SetTransform(D3DTRANSFORMSTATETYPE, const D3DMATRIX* matrix) override {
    world = *matrix;
    return D3D_OK;
  }
  HRESULT GetTransform(D3DTRANSFORMSTATETYPE, D3DMATRIX* matrix) override {
    *matrix = world;
    return D3D_OK;
  }
  D3DMATRIX world = {};
};

struct World {
  World() {
    char pattern[] = "/tmp/description-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    fuzz_scratch::removeAtExit(pattern);
    _chdir(pattern);
    std::ofstream("s.as") << "extern float speed = 1.0;\n"
                             "void init() {}\nvoid begin() {}\nvoid preRender(float t) {}\n"
                             "void render(float t) {}\nvoid postRender(float t) {}\n"
                             "void end() {}\nvoid died() {}\n";
    gDatabase = &database;
    gDevice = &device;
  }
  TQDatabaseFilesystem database;
  QuietDevice device;
  ScriptHost host;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World* world = new World;
  std::ofstream("fuzz.demo", std::ios::binary).write((const char*)data, (std::streamsize)size);
  DemoSequencer sequencer(&world->host, &world->device);
  sequencer.loadDescription("fuzz.demo");
  sequencer.initScenes();
  for (float t : {0.0f, 1.0f, 2.5f, 100.0f}) {
    world->host.setTime(t);
    sequencer.renderFrame();
  }
  // Each run's description is a unique load that the store keeps cached:
  // let it go, so the runs do not pile up memory.
  world->database.collectUnused();
  return 0;
}
