// The demo's timeline: tracks of timed scenes, each running a scriplet or
// flying a camera path, walked three times per frame.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/DemoState.h"  // gDemoSequencer and the scene timing
#include "platform/d3dx/D3DXMath.h"
#include "runtime/CameraPath.h"

class ScriptHost;
struct Scriplet;
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

  // What the sequencer resolved from the host for this scene: its scriplet
  // and its placement values. It holds while the host's stamp is the one it
  // was resolved under (no scriplet stored or released, no extern value set
  // since).
  struct Resolved {
    std::uint64_t stamp = 0;
    Scriplet* scriplet = nullptr;  // null: not loaded
    // Where the scriplet's context and entry functions live, copied from
    // its record so that the walk can ask for them ahead of the call from
    // the timeline alone (the record itself is elsewhere in memory).
    const void* context = nullptr;
    const void* entryFunctions[8] = {};
    bool placementRead = false;
    float placement[9] = {};  // pos x y z, scal x y z, rot x y z
  };
  Resolved resolved;
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

  // Scenes written into sceneIndex so far, by rebuilds and by insertions
  // alike: loading n scenes in start order writes about n.
  std::size_t indexWrites = 0;

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
  void callBracketed(Scene& scene, EntryPoint entry);
  // One entry call of the scene's scriplet, found once per host stamp.
  void callScene(Scene& scene, EntryPoint entry);
  Scene::Resolved& resolve(Scene& scene);
  // Asks the processor to start loading what the next scenes of the track
  // will read for that entry call while this one runs: with many scriplets,
  // each with an engine of its own, a frame otherwise waits on memory at
  // every call.
  void prefetchNext(const std::vector<Scene>& track, const Scene& scene, EntryPoint entry) const;
  // applyPlacement with the values read once per host stamp.
  void placeScene(Scene& scene);
  // The world transform from savedWorld and the nine placement values.
  void setPlacement(const float values[9]);
  static bool isActive(const Scene& scene, float t);

  // Brings sceneIndex up to date after a scene was inserted at `position`
  // of `track`, when the index matched the tracks before that.
  void indexInsertion(int track, int position);

  // What the index was last made from: the number of scenes of each track
  // (a track that changed behind the index's back makes the next insertion
  // rebuild it), and whether the tracks were cleared since.
  std::vector<std::size_t> indexedTrackSizes;
  bool indexStale = false;

  bool framesCaptured = false;  // the once-only capture of renderFrame
  bool initCaptured = false;    // the once-only capture of initScenes
};
