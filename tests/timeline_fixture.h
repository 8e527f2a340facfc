// A timeline under test: a scratch folder of loose files as the resource
// store, the real script host with a recording function for the scriplets,
// and a device double that records the frame brackets and keeps transforms.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/DeviceGlobal.h"
#include "core/Log.h"
#include "core/TQDatabase.h"
#include "platform/d3d9/D3D9.h"
#include "platform/d3dx/D3DXMath.h"
#include "platform/win32/Win32.h"
#include "runtime/DemoSequencer.h"
#include "runtime/ScriptHost.h"
#include "tests/runtime_globals.h"

// One recorded happening: a scriplet's rec() call or a device call, with the
// scene timing that was published when it happened.
struct TimelineEvent {
  std::string what;
  float now, start, end, progress;
  D3DXMATRIX world, view;
};

inline std::vector<TimelineEvent>& timelineEvents() {
  static std::vector<TimelineEvent> events;
  return events;
}

// Called by a scriplet entry or a device call; optional test hook on top.
inline void (*&timelineHook())(const std::string&) {
  static void (*hook)(const std::string&) = nullptr;
  return hook;
}

struct RecordingDevice : IDirect3DDevice9 {
  RecordingDevice() {
    D3DXMatrixIdentity(&world);
    D3DXMatrixIdentity(&view);
    D3DXMatrixIdentity(&projection);
  }
  void record(const std::string& what) {
    timelineEvents().push_back(
        {what, gCurrentTime, gSceneStart, gSceneEnd, gSceneProgress, world, view});
  }
  HRESULT BeginScene() override {
    record("[scene");
    return D3D_OK;
  }
  HRESULT EndScene() override {
    record("scene]");
    return D3D_OK;
  }
  HRESULT Clear(DWORD count, const D3DRECT* rects, DWORD flags, D3DCOLOR color, float z,
                DWORD stencil) override {
    clears.push_back({count, rects == nullptr, flags, color, z, stencil});
    return D3D_OK;
  }
  HRESULT SetTransform(D3DTRANSFORMSTATETYPE state, const D3DMATRIX* matrix) override {
    transformLog.push_back({state, *matrix});
    if (state == D3DTS_WORLD) world = *matrix;
    if (state == D3DTS_VIEW) view = *matrix;
    if (state == D3DTS_PROJECTION) projection = *matrix;
    return D3D_OK;
  }
  HRESULT GetTransform(D3DTRANSFORMSTATETYPE state, D3DMATRIX* matrix) override {
    *matrix = state == D3DTS_VIEW ? view : state == D3DTS_PROJECTION ? projection : world;
    return D3D_OK;
  }
  // Render states: each change recorded as "rs<state>=<value>".
  HRESULT SetRenderState(D3DRENDERSTATETYPE state, DWORD value) override {
    if (state < 256) renderStates[state] = value;
    record("rs" + std::to_string((int)state) + "=" + std::to_string(value));
    return D3D_OK;
  }
  HRESULT GetRenderState(D3DRENDERSTATETYPE state, DWORD* value) override {
    ++renderStateReads;
    *value = state < 256 ? renderStates[state] : 0;
    return D3D_OK;
  }

  struct ClearCall {
    DWORD count;
    bool noRects;
    DWORD flags;
    D3DCOLOR color;
    float z;
    DWORD stencil;
  };
  struct TransformCall {
    D3DTRANSFORMSTATETYPE state;
    D3DXMATRIX matrix;
  };
  std::vector<ClearCall> clears;
  std::vector<TransformCall> transformLog;
  D3DXMATRIX world, view, projection;
  DWORD renderStates[256] = {};
  int renderStateReads = 0;
};

// Every text given to logMessage during a test.
inline std::vector<std::string>& loggedTexts() {
  static std::vector<std::string> texts;
  return texts;
}

inline RecordingDevice*& recordingDevice() {
  static RecordingDevice* device = nullptr;
  return device;
}

// rec(text): what the scriplets call from their entries.
inline void recordFromScript(const std::string& what) {
  if (recordingDevice()) recordingDevice()->record(what);
  if (timelineHook()) timelineHook()(what);
}

inline void registerRecorder(asIScriptEngine* engine) {
  engine->RegisterGlobalFunction("void rec(const string &in)", asFUNCTION(recordFromScript),
                                 asCALL_CDECL);
}

class TimelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/timeline-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    char cwd[4096];
    ASSERT_NE(_getcwd(cwd, sizeof cwd), nullptr);
    previousFolder = cwd;
    ASSERT_EQ(_chdir(folder.c_str()), 0);
    test_globals::resetRuntimeGlobals();
    timelineEvents().clear();
    timelineHook() = nullptr;
    loggedTexts().clear();
    gLogHook = [](const char* text) { loggedTexts().push_back(text); };
    recordingDevice() = &device;
    ScriptHost::extraRegistrations = &registerRecorder;
    gDatabase = &database;
    gDevice = &device;
    host = std::make_unique<ScriptHost>();
    sequencer = std::make_unique<DemoSequencer>(host.get(), &device);
  }

  void TearDown() override {
    sequencer.reset();
    host.reset();
    ScriptHost::extraRegistrations = nullptr;
    gLogHook = nullptr;
    timelineHook() = nullptr;
    recordingDevice() = nullptr;
    gDatabase = nullptr;
    gDevice = nullptr;
    _chdir(previousFolder.c_str());
    std::filesystem::remove_all(folder);
  }

  void writeFile(const std::string& name, const std::string& text) {
    std::ofstream(folder + "/" + name, std::ios::binary) << text;
  }

  // A scriplet whose every entry records "<tag>.<entry>".
  void writeRecordingScriplet(const std::string& file, const std::string& tag) {
    std::string source;
    for (const char* entry : {"init()", "begin()", "preRender(float t)", "render(float t)",
                              "postRender(float t)", "end()", "died()"}) {
      std::string name(entry);
      name = name.substr(0, name.find('('));
      source += "void " + std::string(entry) + " { rec(\"" + tag + "." + name + "\"); }\n";
    }
    writeFile(file, source);
  }

  bool load(const std::string& description) {
    writeFile("test.demo", description);
    return sequencer->loadDescription("test.demo");
  }

  // Runs one frame at time t and answers its events, blank-separated.
  std::string frame(float t) {
    host->setTime(t);
    timelineEvents().clear();
    sequencer->renderFrame();
    return joinedEvents();
  }

  static std::string joinedEvents() {
    std::string text;
    for (const TimelineEvent& e : timelineEvents()) text += (text.empty() ? "" : " ") + e.what;
    return text;
  }

  const TimelineEvent* findEvent(const std::string& what) const {
    for (const TimelineEvent& e : timelineEvents())
      if (e.what == what) return &e;
    return nullptr;
  }

  std::string folder, previousFolder;
  TQDatabaseFilesystem database;
  RecordingDevice device;
  std::unique_ptr<ScriptHost> host;
  std::unique_ptr<DemoSequencer> sequencer;
};
