// The demo's timeline: tracks of timed scenes, each running a scriplet or
// flying a camera path, walked three times per frame.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/DemoState.h"  // gDemoSequencer and the scene timing
#include "platform/d3dx/D3DXMath.h"
#include "runtime/CameraPath.h"

class ScriptHost;
struct IDirect3DDevice9;
enum EntryPoint : int;

struct Scene {
  Scene(const std::string& file, const std::string& name);

  std::string name;  // also the scriplet's name in the host
  std::string file;  // resource name of the scriplet's source
  float start;
  float end;  // exactly -1.0: open-ended
  bool initialised;
  bool begun;
  bool valid;
  bool isCamera;
  CameraPath path;  // camera scenes only
};

class DemoSequencer : public DemoTimeline {
 public:
  typedef std::pair<int, int> Location;  // (track, position)

  DemoSequencer(ScriptHost* host, IDirect3DDevice9* device);
  ~DemoSequencer();
  DemoSequencer(const DemoSequencer&) = delete;
  DemoSequencer& operator=(const DemoSequencer&) = delete;

  // Reads the demo description through the resource database, compiling
  // every scriplet that it names.
  bool loadDescription(const std::string& name);
  bool addScene(int track, const std::string& file, const std::string& name, float start,
                float end);
  bool compileScene(const std::string& file, const std::string& name);
  int insertScene(int track, const Scene& scene);
  void rebuildIndex();
  Location findScene(const std::string& name) const;
  Scene& sceneAt(Location location);

  void initScenes();   // every "init", once, before the clock starts
  void renderFrame();  // one frame: passes A, B and C

  void applyCamera(const CameraPath& path, float start);
  void applyPlacement(const std::string& name);
  void restoreWorld();
  void setClearColor(int red, int green, int blue) override;

  ScriptHost* host;
  std::vector<std::vector<Scene>> tracks;
  std::map<std::string, Location> sceneIndex;
  IDirect3DDevice9* device;
  int clearRed, clearGreen, clearBlue;
  D3DXMATRIX savedWorld;
  int missTrack, missIndex;
  Scene nullScene;

 private:
  // Reads the tokens of a loaded description; the body of loadDescription.
  bool readDescription(const char* text);
  void publishTiming(const Scene& scene, float t) const;
  // One entry call between a mark and an undo of the device-state stacks.
  void callBracketed(const Scene& scene, EntryPoint entry);
  static bool isActive(const Scene& scene, float t);

  bool framesCaptured = false;  // the once-only capture of renderFrame
  bool initCaptured = false;    // the once-only capture of initScenes
};
