#include "runtime/DemoSequencer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/DeviceGlobal.h"
#include "core/Log.h"
#include "core/RenderStateStack.h"
#include "core/TQDataHandler.h"
#include "core/TQDatabase.h"
#include "core/TQSmartPointer.h"
#include "platform/d3d9/D3D9.h"
#include "platform/win32/Win32.h"
#include "runtime/ScriptHost.h"

Scene::Scene(const std::string& file, const std::string& name)
    : name(name),
      file(file),
      start(-1.0f),
      end(-1.0f),
      initialised(false),
      begun(false),
      valid(true),
      isCamera(false) {}

DemoSequencer::DemoSequencer(ScriptHost* host, IDirect3DDevice9* device)
    : host(host),
      device(device),
      clearRed(0),
      clearGreen(0),
      clearBlue(255),
      savedWorld(),
      missTrack(-1),
      missIndex(-1),
      nullScene("NoScriplet", "NoScene") {
  gDemoSequencer = this;
  // Until a description replaces it, the timeline is one camera flight.
  Scene demoPath("DemoPath", "DemoPath");
  demoPath.start = 0.0f;
  demoPath.end = 45.0f;
  demoPath.isCamera = true;
  tracks.push_back({demoPath});
  sceneIndex["DemoPath"] = Location(0, 0);
  indexedTrackSizes.assign(1, 1);
}

DemoSequencer::~DemoSequencer() {
  for (const std::vector<Scene>& track : tracks)
    for (const Scene& scene : track)
      if (scene.valid && !scene.isCamera) host->unload(scene.name, false);
  tracks.clear();
  sceneIndex.clear();
  if (gDemoSequencer == this) gDemoSequencer = nullptr;
}

bool DemoSequencer::addScene(int track, const std::string& file, const std::string& name,
                             float start, float end) {
  const bool ok = compileScene(file, name);
  Scene scene(file, name);
  scene.start = start;
  scene.end = end;
  scene.valid = ok;
  insertScene(track, scene);
  // The placement and the times are recorded for the sequencer's own use;
  // they do not change a script's variables of these names.
  for (const char* variable : {"script_pos_x", "script_pos_y", "script_pos_z", "script_rot_x",
                               "script_rot_y", "script_rot_z"})
    host->setExternTyped(name, variable, "float", "0");
  for (const char* variable : {"script_scal_x", "script_scal_y", "script_scal_z"})
    host->setExternTyped(name, variable, "float", "1");
  host->setExternFloat(name, "script_time_start", "float", start);
  host->setExternFloat(name, "script_time_end", "float", end);
  return true;
}

bool DemoSequencer::compileScene(const std::string& file, const std::string& name) {
  // A show being stopped (a signal during a long load) compiles nothing
  // more: its scenes are left out, and the run ends as Escape ends it
  // before the first frame.
  if (platformStopRequested()) return false;
  TQSmartPointerTyped<char> text;
  TQDataHandler_Text handler;
  std::string error;
  if (!gDatabase->load(file, handler, text, 0, error)) {
    logMessage(error.c_str());
    return false;
  }
  error.clear();
  if (host->compile(name, text.object, error)) return true;
  if (!error.empty()) {
    char message[1024];
    std::snprintf(message, sizeof message, "Error compiling scene (%s) - Abort", name.c_str());
    fatalError(message);
  }
  logMessage("Error parsing scriplet file");
  return false;
}

int DemoSequencer::insertScene(int track, const Scene& scene) {
  if (track < 0) track = 0;
  if (track >= (int)tracks.size()) tracks.resize(track + 1);
  std::vector<Scene>& scenes = tracks[track];
  // A track is ordered by start, so the scenes that start no later than the
  // new one are the front of the track, found by halving.
  const int position =
      int(std::partition_point(scenes.begin(), scenes.end(),
                               [&](const Scene& s) { return s.start <= scene.start; }) -
          scenes.begin());
  const bool indexCurrent =
      !indexStale && indexedTrackSizes.size() <= tracks.size() &&
      (track < (int)indexedTrackSizes.size() ? indexedTrackSizes[track] : 0) == scenes.size();
  scenes.insert(scenes.begin() + position, scene);
  if (indexCurrent)
    indexInsertion(track, position);
  else
    rebuildIndex();
  return position;
}

void DemoSequencer::indexInsertion(int track, int position) {
  const std::vector<Scene>& scenes = tracks[track];
  // The scenes behind the new one moved one place on; the entries that
  // named them follow.
  for (int j = position + 1; j < (int)scenes.size(); ++j) {
    auto entry = sceneIndex.find(scenes[j].name);
    if (entry != sceneIndex.end() && entry->second == Location(track, j - 1)) {
      entry->second.second = j;
      ++indexWrites;
    }
  }
  // The index names the last scene of a name in walk order (track, then
  // position): the new one unless one of that name stands after it.
  const Location here(track, position);
  auto entry = sceneIndex.try_emplace(scenes[position].name, here).first;
  if (entry->second < here) entry->second = here;
  ++indexWrites;
  indexedTrackSizes.resize(tracks.size(), 0);
  indexedTrackSizes[track] = scenes.size();
}

void DemoSequencer::rebuildIndex() {
  sceneIndex.clear();
  indexedTrackSizes.assign(tracks.size(), 0);
  for (int i = 0; i < (int)tracks.size(); ++i) {
    for (int j = 0; j < (int)tracks[i].size(); ++j) sceneIndex[tracks[i][j].name] = Location(i, j);
    indexedTrackSizes[i] = tracks[i].size();
    indexWrites += tracks[i].size();
  }
  indexStale = false;
}

DemoSequencer::Location DemoSequencer::findScene(const std::string& name) const {
  auto found = sceneIndex.find(name);
  if (found == sceneIndex.end()) return Location(missTrack, missIndex);
  return found->second;
}

Scene& DemoSequencer::sceneAt(Location location) {
  const int track = location.first, position = location.second;
  if (track < 0 || track >= (int)tracks.size()) return nullScene;
  if (position < 0 || position >= (int)tracks[track].size()) return nullScene;
  return tracks[track][position];
}

void DemoSequencer::publishTiming(const Scene& scene, float t) const {
  gCurrentTime = t;
  gSceneStart = scene.start;
  gSceneEnd = scene.end;
  float p = (t - scene.start) / (scene.end - scene.start);
  if (p < 0.0f || std::isnan(p))
    p = 0.0f;
  else if (p > 1.0f)
    p = 1.0f;
  gSceneProgress = p;
}

void DemoSequencer::callBracketed(Scene& scene, EntryPoint entry) {
  pushAllStates();
  callScene(scene, entry);
  popAllStates();
}

Scene::Resolved& DemoSequencer::resolve(Scene& scene) {
  Scene::Resolved& resolved = scene.resolved;
  if (resolved.stamp != host->stamp) {
    resolved.stamp = host->stamp;
    resolved.scriplet = host->findScriplet(scene.name);
    resolved.placementRead = false;
    static_assert(sizeof resolved.entryFunctions / sizeof *resolved.entryFunctions == ENTRY_COUNT);
    const Scriplet* scriplet = resolved.scriplet;
    resolved.context = scriplet ? scriplet->context : nullptr;
    for (int code = 0; code < ENTRY_COUNT; ++code)
      resolved.entryFunctions[code] = scriplet ? scriplet->entryFunctions[code] : nullptr;
  }
  return resolved;
}

namespace {

void prefetchBytes(const void* address, int bytes) {
  if (!address) return;
  for (int offset = 0; offset < bytes; offset += 64)
    __builtin_prefetch(static_cast<const char*>(address) + offset);
}

// What an entry call reads of the script engine's objects lies at the front
// of them: the context's state and registers in its first 768 bytes, a
// function's kind, argument layout and code pointer in its first 512.
constexpr int kContextBytes = 768;
constexpr int kFunctionBytes = 512;

}  // namespace

void DemoSequencer::prefetchNext(const std::vector<Scene>& track, const Scene& scene,
                                 EntryPoint entry) const {
  const Scene* next = &scene + 1;
  const Scene* end = track.data() + track.size();
  if (next == end) return;
  // Everything comes from the timeline, which is read in order anyway: no
  // load here waits on memory. The scriplet record is asked for two scenes
  // ahead, as the call reads it before it reaches the engine's objects.
  if (next + 1 != end && next[1].resolved.stamp == host->stamp)
    prefetchBytes(next[1].resolved.scriplet, sizeof(Scriplet));
  const Scene::Resolved& resolved = next->resolved;
  if (resolved.stamp != host->stamp) return;
  prefetchBytes(resolved.context, kContextBytes);
  prefetchBytes(resolved.entryFunctions[entry], kFunctionBytes);
}

void DemoSequencer::callScene(Scene& scene, EntryPoint entry) {
  Scene::Resolved& resolved = resolve(scene);
  if (resolved.scriplet) host->callEntry(*resolved.scriplet, entry);
}

bool DemoSequencer::isActive(const Scene& scene, float t) {
  return t >= scene.start && (t <= scene.end || scene.end == -1.0f);
}

void DemoSequencer::initScenes() {
  if (!initCaptured && gRenderStateStack) {
    captureAllStates();
    initCaptured = true;
  }
  pushAllStates();
  for (std::vector<Scene>& track : tracks)
    for (Scene& scene : track) {
      if (scene.isCamera || !scene.valid) continue;
      gCurrentTime = 0.0f;
      gSceneStart = scene.start;
      gSceneEnd = scene.end;
      gSceneProgress = 0.0f;
      if (!scene.initialised) {
        callBracketed(scene, ENTRY_INIT);
        scene.initialised = true;
      }
    }
  popAllStates();
}

void DemoSequencer::renderFrame() {
  const float t = host->getTime();
  if (!framesCaptured && gRenderStateStack) {
    captureAllStates();
    framesCaptured = true;
  }
  pushAllStates();

  // Pass A: outside the Direct3D scene.
  for (std::vector<Scene>& track : tracks)
    for (Scene& scene : track) {
      if (scene.isCamera || !scene.valid) continue;
      publishTiming(scene, t);
      if (!scene.initialised) {
        callBracketed(scene, ENTRY_INIT);
        scene.initialised = true;
      }
      if (isActive(scene, t)) {
        if (!scene.begun) {
          callBracketed(scene, ENTRY_BEGIN);
          scene.begun = true;
        }
        prefetchNext(track, scene, ENTRY_PRERENDER);
        callBracketed(scene, ENTRY_PRERENDER);
      }
    }

  device->BeginScene();
  const D3DCOLOR color = 0xFF000000u | (D3DCOLOR)(clearRed & 0xFF) << 16 |
                         (D3DCOLOR)(clearGreen & 0xFF) << 8 | (D3DCOLOR)(clearBlue & 0xFF);
  device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, color, 1.0f, 0);

  // Pass B: inside the scene. What "render" changes through the undo stacks
  // stays in force for the rest of the frame.
  for (std::vector<Scene>& track : tracks)
    for (Scene& scene : track) {
      if (!scene.valid) continue;
      publishTiming(scene, t);
      if (!isActive(scene, t)) continue;
      if (scene.isCamera) {
        applyCamera(scene.path, scene.start);
      } else {
        prefetchNext(track, scene, ENTRY_RENDER);
        placeScene(scene);
        callScene(scene, ENTRY_RENDER);
        restoreWorld();
      }
    }

  device->EndScene();

  // Pass C: after the scene.
  for (std::vector<Scene>& track : tracks)
    for (Scene& scene : track) {
      if (scene.isCamera || !scene.valid) continue;
      publishTiming(scene, t);
      if (isActive(scene, t)) {
        prefetchNext(track, scene, ENTRY_POSTRENDER);
        callBracketed(scene, ENTRY_POSTRENDER);
      } else if (!(t <= scene.end || scene.end == -1.0f) && scene.begun) {
        callBracketed(scene, ENTRY_END);
        scene.begun = false;
      }
    }

  popAllStates();
}

void DemoSequencer::applyCamera(const CameraPath& path, float start) {
  const float u = host->getTime() - start;
  gCameraPos = path.positionAt(u);
  gCameraUp = path.upAt(u);
  gCameraTarget = path.targetAt(u);
  path.clipPlanesAt(u, gCameraNear, gCameraFar);

  D3DXMATRIX identity;
  D3DXMatrixIdentity(&identity);
  gDevice->SetTransform(D3DTS_WORLD, &identity);

  D3DXMATRIX view;
  D3DXMatrixLookAtLH(&view, &gCameraPos, &gCameraTarget, &gCameraUp);
  gDevice->SetTransform(D3DTS_VIEW, &view);
  gCameraViewMatrix = view;

  // 3.1416 / 180: the camera's degree-to-radian factor.
  const float fovy = (float)(gCameraFov * 0.017453333333333335);
  const float aspect = (float)gAspectWidth / (float)gAspectHeight;
  D3DXMATRIX projection;
  D3DXMatrixPerspectiveFovLH(&projection, fovy, aspect, gCameraNear, gCameraFar);
  gDevice->SetTransform(D3DTS_PROJECTION, &projection);
  gCameraProjMatrix = projection;
}

namespace {

// The placement variables in the order they are read. Defaults for a value
// text that does not read as a number: no move, unit scale, no turn.
const struct {
  const char* name;
  float fallback;
} kPlacement[9] = {{"script_pos_x", 0},  {"script_pos_y", 0},  {"script_pos_z", 0},
                   {"script_scal_x", 1}, {"script_scal_y", 1}, {"script_scal_z", 1},
                   {"script_rot_x", 0},  {"script_rot_y", 0},  {"script_rot_z", 0}};

void readPlacement(ScriptHost& host, const std::string& name, float values[9]) {
  for (int i = 0; i < 9; ++i) {
    values[i] = kPlacement[i].fallback;
    host.getExternFloat(name, kPlacement[i].name, values[i]);
  }
}

}  // namespace

void DemoSequencer::applyPlacement(const std::string& name) {
  device->GetTransform(D3DTS_WORLD, &savedWorld);
  float values[9];
  readPlacement(*host, name, values);
  setPlacement(values);
}

void DemoSequencer::placeScene(Scene& scene) {
  device->GetTransform(D3DTS_WORLD, &savedWorld);
  Scene::Resolved& resolved = resolve(scene);
  if (!resolved.placementRead) {
    readPlacement(*host, scene.name, resolved.placement);
    resolved.placementRead = true;
  }
  setPlacement(resolved.placement);
}

void DemoSequencer::setPlacement(const float values[9]) {
  const float px = values[0], py = values[1], pz = values[2], sx = values[3], sy = values[4],
              sz = values[5], rx = values[6], ry = values[7], rz = values[8];
  // Rotation Z, Y, X, then scaling, then the saved world, then the move.
  D3DXMATRIX m = savedWorld, step;
  D3DXMatrixTranslation(&step, px, py, pz);
  D3DXMatrixMultiply(&m, &m, &step);
  D3DXMatrixScaling(&step, sx, sy, sz);
  D3DXMatrixMultiply(&m, &step, &m);
  D3DXMatrixRotationX(&step, rx);
  D3DXMatrixMultiply(&m, &step, &m);
  D3DXMatrixRotationY(&step, ry);
  D3DXMatrixMultiply(&m, &step, &m);
  D3DXMatrixRotationZ(&step, rz);
  D3DXMatrixMultiply(&m, &step, &m);
  device->SetTransform(D3DTS_WORLD, &m);
}

void DemoSequencer::restoreWorld() { device->SetTransform(D3DTS_WORLD, &savedWorld); }

void DemoSequencer::setClearColor(int red, int green, int blue) {
  clearRed = red;
  clearGreen = green;
  clearBlue = blue;
}
