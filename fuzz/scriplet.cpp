// Feeds arbitrary scriplet sources to the real script host, with the whole
// script API registered, on the headless device: the source is compiled as
// a scene of the sequencer and its entries run for a frame or two (init,
// begin, preRender, render, postRender; then end after the scene, and died
// when it is unloaded). Scripts are data: whatever a scriplet asks of the
// natives (odd sizes, NaN, empty handles, indices out of range, callbacks
// that re-enter) must be refused or survived, never crash.
//
// An optional first byte below 0x08 chooses what runs after the first frame:
// bit 0 a second frame inside the scene, bit 1 a frame after its end (end),
// bit 2 the unload (died). Without it everything runs. Every context gets an
// instruction budget, so endless loops are aborted. A file the store cannot
// deliver ends a real run with a message box; here the fatal error is thrown
// instead, which the script engine turns into a script exception.
//
// Run (from the source folder; scriplets run in a scratch copy of sample/,
// with a few effects, meshes and pictures under the names the seeds load):
//   cmake -S . -B build-fuzz -DENGINE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
//         -DCMAKE_C_COMPILER=clang -DENGINE_BENCH=OFF
//   cmake --build build-fuzz --target fuzz_scriplet
//   python3 fuzz/scriplet_seeds.py build-fuzz/scorpus fuzz/scriplet.dict
//   LP_NUM_THREADS=0 ASAN_OPTIONS=detect_leaks=0 build-fuzz/fuzz_scriplet \
//       -dict=fuzz/scriplet.dict -max_len=65536 -timeout=20 build-fuzz/scorpus
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "core/DeviceGlobal.h"
#include "core/Log.h"
#include "core/TQDatabase.h"
#include "fuzz/scratch.h"
#include "platform/d3d9/D3D9.h"
#include "runtime/DemoSequencer.h"
#include "runtime/ScriptHost.h"
#include "runtime/TrialBuild.h"
#include "testsupport/HeadlessDevice.h"
#include "testsupport/HeadlessEnvironment.h"

namespace {

// Script lines one input may run, over every context.
constexpr long kLineBudget = 200000;
long linesLeft = 0;

void countLine(asIScriptContext* context, void*) {
  if (--linesLeft < 0) context->Abort();
}

void printException(asIScriptContext* context, void*) {
  const asIScriptFunction* function = context->GetExceptionFunction();
  std::fprintf(stderr, "script exception in %s line %d: %s\n",
               function ? function->GetDeclaration() : "?", context->GetExceptionLineNumber(),
               context->GetExceptionString());
}

void budgetContext(asIScriptContext* context) {
  context->SetLineCallback(asFUNCTION(countLine), nullptr, asCALL_CDECL);
  if (gLogHook) context->SetExceptionCallback(asFUNCTION(printException), nullptr, asCALL_CDECL);
}

// Global variable initialisers run in contexts that the engine asks for.
asIScriptContext* requestContext(asIScriptEngine* engine, void*) {
  asIScriptContext* context = engine->CreateContext();
  if (context) budgetContext(context);
  return context;
}

void returnContext(asIScriptEngine*, asIScriptContext* context, void*) { context->Release(); }

void budgetEngine(asIScriptEngine* engine) {
  engine->SetContextCallbacks(requestContext, returnContext, nullptr);
}

void printLog(const char* text) { std::fprintf(stderr, "log: %s\n", text); }

[[noreturn]] void throwFatal(const char* text) {
  if (gLogHook) gLogHook(text);
  throw std::runtime_error(text);
}

// Files under the names the unit tests' scriplets (the seeds) load.
const char* const kEffects[][2] = {
    {"two.fx",
     "float4x4 worldView : WorldView;\n"
     "technique first { pass { CullMode = CW; } }\n"
     "technique tec0 { pass p0 { CullMode = None; } pass p1 { CullMode = None; } }\n"},
    {"tint.fx",
     "float3 tint = {0, 0, 0};\n"
     "texture image;\n"
     "sampler2D source = sampler_state { Texture = <image>; MinFilter = Point; };\n"
     "struct Out { float4 p : POSITION; float2 uv : TEXCOORD0; };\n"
     "Out vs(float4 p : POSITION, float2 uv : TEXCOORD0) { Out o; o.p = p; o.uv = uv; return o; }\n"
     "float4 ps(Out input) : COLOR { return float4(tex2D(source, input.uv).rgb * tint, 1); }\n"
     "technique tec0 { pass { VertexShader = compile vs_2_0 vs(); PixelShader = compile ps_2_0 ps(); } }\n"},
    {"params.fx",
     "float3 three = {9, 9, 9};\nfloat4 four = {9, 9, 9, 9};\ntexture image;\n"
     "technique tec0 { pass { } }\n"},
    {"gradient.tx",
     "float4 gradient(float2 p : POSITION) : COLOR { return float4(p.x, p.y, 0.25, 1); }\n"},
};
const char* const kMeshNames[] = {"quad.x",  "textured.x", "rigid.x",
                                  "fresh.x", "other.x",    "cube.x"};
const char* const kModelFile = "/usr/share/assimp/models/X/test_cube_text.x";  // assimp-testmodels

void writeFixtures(const std::filesystem::path& folder) {
  for (const auto& effect : kEffects)
    if (FILE* file = std::fopen((folder / effect[0]).c_str(), "wb")) {
      std::fputs(effect[1], file);
      std::fclose(file);
    }
  std::error_code ignored;
  for (const char* name : kMeshNames)
    std::filesystem::copy_file(kModelFile, folder / name, ignored);
  std::filesystem::copy_file(folder / "pictures" / "title.png", folder / "tex.bmp", ignored);
}

struct Session {
  HeadlessDevice* headless = nullptr;  // kept for the whole run
  IDirect3DDevice9* device = nullptr;
  TQDatabaseFilesystem files;
  std::filesystem::path scratch;

  Session() {
    // The scriplets of the sample name its pictures and music.
    char pattern[] = "/tmp/fuzz-scriplet-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    fuzz_scratch::removeAtExit(pattern);
    const std::filesystem::path sources =
        std::filesystem::path(__FILE__).parent_path().parent_path();
    std::filesystem::copy(sources / "sample", pattern, std::filesystem::copy_options::recursive);
    scratch = pattern;
    writeFixtures(scratch);

    headless = new HeadlessDevice(32, 24, D3DCREATE_HARDWARE_VERTEXPROCESSING, false, D3DFMT_D16);
    device = headless->device;
    gDevice = device;
    gDatabase = &files;
    gFatalErrorHook = throwFatal;
    // SCRIPLET_LOG=1 shows the host's messages (compile errors, refusals).
    if (getenv("SCRIPLET_LOG")) gLogHook = printLog;
    ScriptHost::extraRegistrations = budgetEngine;
    ScriptHost::contextCreated = budgetContext;
    // The budget above bounds every call; a call that runs long is not
    // watched for Escape here.
    ScriptHost::watchLongCalls = false;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  useHeadlessEnvironment();
  // Before any other thread, as the player does it.
  trial_build::start();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session session;
  if (!session.device) return 0;

  unsigned steps = 7;
  if (size > 0 && data[0] < 0x08) {
    steps = data[0];
    ++data;
    --size;
  }
  const std::string source(reinterpret_cast<const char*>(data), size);
  linesLeft = kLineBudget;

  // Inside the scratch folder only while the input runs: libFuzzer reads its
  // corpus and writes its findings relative to the folder it was started in.
  struct Folder {
    std::filesystem::path previous = std::filesystem::current_path();
    explicit Folder(const std::filesystem::path& to) { std::filesystem::current_path(to); }
    ~Folder() { std::filesystem::current_path(previous); }
  } folder(session.scratch);
  ScriptHost host;
  DemoSequencer sequencer(&host, session.device);
  std::string error;
  // As the sequencer adds a scene, without the fatal error on a bad source.
  const bool compiled = host.compile("scene", source, error);
  if (gLogHook && !error.empty()) gLogHook(error.c_str());
  if (compiled) {
    Scene scene("scene.as", "scene");
    scene.start = 0.0f;
    scene.end = 1.0f;
    scene.valid = true;
    sequencer.insertScene(0, scene);
    sequencer.initScenes();
    host.setTime(0.25f);
    sequencer.renderFrame();
    if (steps & 1) {
      host.setTime(0.5f);
      sequencer.renderFrame();
    }
    if (steps & 2) {
      host.setTime(1.5f);
      sequencer.renderFrame();
    }
    if (steps & 4) host.unload("scene", true);
  }
  return 0;
}
