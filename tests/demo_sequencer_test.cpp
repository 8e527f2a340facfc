#include <cmath>

#include "core/RenderStateStack.h"
#include "tests/timeline_fixture.h"

namespace {

// Seven scriplet scenes on three tracks: overlapping scenes, two with equal
// starts (listed b2 before b), a successor that starts after its predecessor
// ends (a, d), an open-ended scene (c), a zero-length one (z) and one too
// short for the frames below to meet (y).
const char* kTimeline =
    "1 3\n"
    "2\n"
    "a a.as 0 2 0 0\n"
    "d d.as 2.2 4 0 0\n"
    "2\n"
    "b2 b2.as 1 3 0 0\n"
    "b b.as 1 3 0 0\n"
    "3\n"
    "c c.as 1 -1 0 0\n"
    "z z.as 3 3 0 0\n"
    "y y.as 3.1 3.2 0 0\n";

}  // namespace

class SequencerTest : public TimelineTest {
 protected:
  void loadTimeline() {
    for (const char* tag : {"a", "d", "b2", "b", "c", "z", "y"})
      writeRecordingScriplet(std::string(tag) + ".as", tag);
    ASSERT_TRUE(load(kTimeline));
  }
};

TEST_F(SequencerTest, EntryCallsAcrossPassesAndFrames) {
  loadTimeline();
  timelineEvents().clear();
  sequencer->initScenes();
  EXPECT_EQ(joinedEvents(), "a.init d.init b2.init b.init c.init z.init y.init");

  struct Frame {
    float t;
    const char* events;
  } frames[] = {
      {0, "a.begin a.preRender [scene a.render scene] a.postRender"},
      {1,
       "a.preRender b2.begin b2.preRender b.begin b.preRender c.begin c.preRender"
       " [scene a.render b2.render b.render c.render scene]"
       " a.postRender b2.postRender b.postRender c.postRender"},
      // d begins in pass A before a ends in pass C.
      {2.5f,
       "d.begin d.preRender b2.preRender b.preRender c.preRender"
       " [scene d.render b2.render b.render c.render scene]"
       " a.end d.postRender b2.postRender b.postRender c.postRender"},
      {3,
       "d.preRender b2.preRender b.preRender c.preRender z.begin z.preRender"
       " [scene d.render b2.render b.render c.render z.render scene]"
       " d.postRender b2.postRender b.postRender c.postRender z.postRender"},
      {4,
       "d.preRender c.preRender [scene d.render c.render scene]"
       " d.postRender b2.end b.end c.postRender z.end"},
      {5, "c.preRender [scene c.render scene] d.end c.postRender"},
      {6, "c.preRender [scene c.render scene] c.postRender"},
  };
  for (const Frame& f : frames) EXPECT_EQ(frame(f.t), f.events) << "t = " << f.t;

  timelineEvents().clear();
  sequencer.reset();
  EXPECT_EQ(joinedEvents(), "a.died d.died b2.died b.died c.died z.died y.died");
}

TEST_F(SequencerTest, PublishesEachScenesTimingBeforeItsCalls) {
  loadTimeline();
  sequencer->initScenes();
  frame(0);
  frame(1);
  frame(2.5f);
  struct Expect {
    const char* what;
    float start, end, progress;
  } expected[] = {
      {"b.preRender", 1, 3, 0.75f},
      {"b.render", 1, 3, 0.75f},
      {"a.end", 0, 2, 1},          // after its end: clamped
      {"c.postRender", 1, -1, 0},  // open-ended
  };
  for (const Expect& e : expected) {
    const TimelineEvent* event = findEvent(e.what);
    ASSERT_NE(event, nullptr) << e.what;
    EXPECT_EQ(event->now, 2.5f) << e.what;
    EXPECT_EQ(event->start, e.start) << e.what;
    EXPECT_EQ(event->end, e.end) << e.what;
    EXPECT_FLOAT_EQ(event->progress, e.progress) << e.what;
  }

  // Zero length: progress 0 at its one instant (0 / 0), 1 afterwards.
  frame(3);
  EXPECT_EQ(findEvent("z.render")->progress, 0.0f);
  frame(4);
  EXPECT_EQ(findEvent("z.end")->progress, 1.0f);
}

TEST_F(SequencerTest, InitDuringInitScenesSeesTheScenesTimesAndTimeZero) {
  loadTimeline();
  host->setTime(7);
  sequencer->initScenes();
  const TimelineEvent* init = findEvent("b.init");
  ASSERT_NE(init, nullptr);
  EXPECT_EQ(init->now, 0.0f);
  EXPECT_EQ(init->start, 1.0f);
  EXPECT_EQ(init->end, 3.0f);
  EXPECT_EQ(init->progress, 0.0f);
}

// "initGlobals" runs inside the compile, before any scene is published; "died"
// at destruction sees what the last frame published last (the final scene of
// pass C).
TEST_F(SequencerTest, InitGlobalsSeesTheStartValuesAndDiedTheLastPublished) {
  for (const char* tag : {"p", "q"})
    writeFile(std::string(tag) + ".as", std::string("void initGlobals() { rec(\"") + tag +
                                            ".initGlobals\"); }\nvoid render(float t) {}\n"
                                            "void died() { rec(\"" +
                                            tag + ".died\"); }\n");
  ASSERT_TRUE(load("0 2 1 p p.as 1 5 0 0 1 q q.as 2 4 0 0"));
  for (const char* what : {"p.initGlobals", "q.initGlobals"}) {
    const TimelineEvent* event = findEvent(what);
    ASSERT_NE(event, nullptr) << what;
    EXPECT_EQ(event->now, 0.0f) << what;
    EXPECT_EQ(event->start, 0.0f) << what;
    EXPECT_EQ(event->end, 45.0f) << what;
    EXPECT_EQ(event->progress, 0.0f) << what;
  }
  sequencer->initScenes();
  frame(3);
  timelineEvents().clear();
  sequencer.reset();
  ASSERT_EQ(joinedEvents(), "p.died q.died");
  for (const TimelineEvent& event : timelineEvents()) {
    EXPECT_EQ(event.now, 3.0f) << event.what;
    EXPECT_EQ(event.start, 2.0f) << event.what;
    EXPECT_EQ(event.end, 4.0f) << event.what;
    EXPECT_EQ(event.progress, 0.5f) << event.what;
  }
}

TEST_F(SequencerTest, FirstFrameInitialisesScenesThatInitScenesDidNotReach) {
  loadTimeline();
  EXPECT_EQ(frame(0),
            "a.init a.begin a.preRender d.init b2.init b.init c.init z.init y.init"
            " [scene a.render scene] a.postRender");
  EXPECT_EQ(frame(0.5f), "a.preRender [scene a.render scene] a.postRender");
}

TEST_F(SequencerTest, InvalidScenesAreNeverCalled) {
  writeRecordingScriplet("ok.as", "ok");
  ASSERT_TRUE(
      load("1 1 2\n"
           "missing missing.as 0 10 0 0\n"
           "ok ok.as 0 10 0 0\n"));
  EXPECT_FALSE(sequencer->tracks[0][0].valid);
  EXPECT_FALSE(loggedTexts().empty());  // the store's reason
  sequencer->initScenes();
  frame(1);
  EXPECT_EQ(joinedEvents(), "ok.begin ok.preRender [scene ok.render scene] ok.postRender");
  timelineEvents().clear();
  sequencer.reset();
  EXPECT_EQ(joinedEvents(), "ok.died");
}

TEST_F(SequencerTest, ClearKeepsTheLowByteOfEachComponent) {
  ASSERT_TRUE(load("0 0"));
  struct Case {
    int r, g, b;
    D3DCOLOR color;
  } cases[] = {
      {0, 0, 255, 0xFF0000FFu},  // the colour after construction
      {256, -1, 0, 0xFF00FF00u},
      {511, 128, -256, 0xFFFF8000u},
  };
  bool first = true;
  for (const Case& c : cases) {
    if (!first) sequencer->setClearColor(c.r, c.g, c.b);
    first = false;
    device.clears.clear();
    // An empty timeline still brackets and clears every frame.
    EXPECT_EQ(frame(0), "[scene scene]");
    ASSERT_EQ(device.clears.size(), 1u);
    const RecordingDevice::ClearCall& clear = device.clears[0];
    EXPECT_EQ(clear.color, c.color) << c.r << " " << c.g << " " << c.b;
    EXPECT_EQ(clear.count, 0u);
    EXPECT_TRUE(clear.noRects);
    EXPECT_EQ(clear.flags, (DWORD)(D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER));
    EXPECT_EQ(clear.z, 1.0f);
    EXPECT_EQ(clear.stencil, 0u);
  }
}

TEST_F(SequencerTest, ClearColourSetInPassAAppliesToTheSameFrame) {
  writeRecordingScriplet("s.as", "s");
  ASSERT_TRUE(load("1 1 1 s s.as 0 10 0 0"));
  timelineHook() = [](const std::string& what) {
    if (what == "s.preRender") gDemoSequencer->setClearColor(1, 2, 3);
  };
  frame(1);
  ASSERT_EQ(device.clears.size(), 1u);
  EXPECT_EQ(device.clears[0].color, 0xFF010203u);
}

TEST_F(SequencerTest, PlacementFromTheDescriptionValues) {
  writeRecordingScriplet("s.as", "s");
  ASSERT_TRUE(
      load("1 1 1\n"
           "s s.as 0 10 9 0\n"
           "script_pos_x 1\n"
           "script_pos_y 2\n"
           "script_pos_z 3\n"
           "script_rot_x 0.1\n"
           "script_rot_y 0.2\n"
           "script_rot_z 0.3\n"
           "script_scal_x 2\n"
           "script_scal_y 3\n"
           "script_scal_z 4\n"));
  D3DXMATRIX saved, t, s, rx, ry, rz;
  D3DXMatrixRotationY(&saved, 0.7f);
  saved._41 = 5;  // a saved world with a move of its own
  device.world = saved;
  D3DXMatrixTranslation(&t, 1, 2, 3);
  D3DXMatrixScaling(&s, 2, 3, 4);
  D3DXMatrixRotationX(&rx, 0.1f);
  D3DXMatrixRotationY(&ry, 0.2f);
  D3DXMatrixRotationZ(&rz, 0.3f);
  const D3DXMATRIX expected = rz * ry * rx * s * saved * t;

  frame(1);
  const TimelineEvent* render = findEvent("s.render");
  ASSERT_NE(render, nullptr);
  for (int i = 0; i < 16; ++i)
    EXPECT_NEAR((&render->world._11)[i], (&expected._11)[i], 1e-5f) << "element " << i;
  // The world is set back after render.
  for (int i = 0; i < 16; ++i) EXPECT_EQ((&device.world._11)[i], (&saved._11)[i]);
}

// The placement reads the values that the host holds for the scene, not the
// script's own variable of that name.
TEST_F(SequencerTest, PlacementReadsTheHostsValuesNotTheScriptsVariable) {
  writeFile("s.as",
            "extern float script_pos_x = 7;\n"
            "void init() { script_pos_x = 9; }\n"
            "void render(float t) { rec(\"s.render\"); }\n");
  struct Case {
    const char* description;
    float x;
  } cases[] = {
      {"0 1 1 s s.as 0 10 0 0", 0.0f},                   // the sequencer's own "0"
      {"0 1 1 s s.as 0 10 1 0 script_pos_x 3\n", 3.0f},  // the description's value
  };
  for (const Case& c : cases) {
    sequencer = std::make_unique<DemoSequencer>(host.get(), &device);
    ASSERT_TRUE(load(c.description));
    sequencer->initScenes();
    frame(1);
    const TimelineEvent* render = findEvent("s.render");
    ASSERT_NE(render, nullptr) << c.description;
    EXPECT_EQ(render->world._41, c.x) << c.description;
  }
}

TEST_F(SequencerTest, TwoCameraScenesInOneWalk) {
  writeRecordingScriplet("s.as", "s");
  // Track 0: a camera at (1,2,3), track 1: a script scene, track 2: a camera
  // at (4,5,6) with other clipping distances.
  ASSERT_TRUE(
      load("1 3\n"
           "1 first dummy 0 10 0 1\n"
           "1 9 0 1 1 2 3 0 0 0 0 1 0 0.5 50\n"
           "1 s s.as 0 10 0 0\n"
           "1 second dummy 0 10 0 1\n"
           "1 9 0 1 4 5 6 0 0 0 0 1 0 1 200\n"));
  device.world._11 = 9;  // not identity: the cameras reset it
  frame(1);

  const D3DXVECTOR3 at(0, 0, 0), up(0, 1, 0), eye1(1, 2, 3), eye2(4, 5, 6);
  D3DXMATRIX view1, view2, projection2;
  D3DXMatrixLookAtLH(&view1, &eye1, &at, &up);
  D3DXMatrixLookAtLH(&view2, &eye2, &at, &up);
  D3DXMatrixPerspectiveFovLH(&projection2, (float)(45.0 * 0.017453333333333335), 800.0f / 600.0f, 1,
                             200);

  const TimelineEvent* render = findEvent("s.render");
  ASSERT_NE(render, nullptr);
  EXPECT_TRUE(render->view == view1);  // rendered under the first camera
  EXPECT_EQ(render->world._11, 1.0f);  // identity from the first camera

  EXPECT_TRUE(device.view == view2);
  EXPECT_TRUE(device.projection == projection2);
  EXPECT_TRUE(gCameraViewMatrix == view2);
  EXPECT_TRUE(gCameraProjMatrix == projection2);
  EXPECT_TRUE(gCameraPos == eye2);
  EXPECT_EQ(gCameraNear, 1.0f);
  EXPECT_EQ(gCameraFar, 200.0f);

  // Per camera: world identity, then view, then projection.
  std::vector<D3DTRANSFORMSTATETYPE> states;
  for (const auto& call : device.transformLog) states.push_back(call.state);
  const std::vector<D3DTRANSFORMSTATETYPE> expected = {
      D3DTS_WORLD, D3DTS_VIEW,  D3DTS_PROJECTION,   // first camera
      D3DTS_WORLD, D3DTS_WORLD,                     // placement and restore
      D3DTS_WORLD, D3DTS_VIEW,  D3DTS_PROJECTION};  // second camera
  EXPECT_EQ(states, expected);
  D3DXMATRIX identity;
  D3DXMatrixIdentity(&identity);
  EXPECT_TRUE(device.transformLog[0].matrix == identity);
}

TEST_F(SequencerTest, CameraOnlyAppliesWhileActiveAndFromItsStart) {
  ASSERT_TRUE(
      load("1 1 1\n"
           "cam dummy 10 20 0 1\n"
           "2 0 0 1 0 0 0 0 0 0 0 1 0 0.1 100  0 10 1 10 0 0 0 0 0 0 1 0 0.1 100\n"));
  gCameraPos = D3DXVECTOR3(-1, -1, -1);
  frame(5);
  EXPECT_TRUE(device.transformLog.empty());
  frame(15);  // u = 5: halfway along the linear key
  EXPECT_NEAR(gCameraPos.x, 5.0f, 1e-5f);
}

TEST_F(SequencerTest, ConstructorTimelineIsTheDemoPath) {
  ASSERT_EQ(sequencer->tracks.size(), 1u);
  const Scene& scene = sequencer->tracks[0][0];
  EXPECT_EQ(scene.name, "DemoPath");
  EXPECT_TRUE(scene.isCamera);
  EXPECT_EQ(scene.end, 45.0f);
  EXPECT_EQ(sequencer->findScene("DemoPath"), DemoSequencer::Location(0, 0));
  EXPECT_EQ(sequencer->findScene("nothing"), DemoSequencer::Location(-1, -1));
  EXPECT_EQ(sequencer->sceneAt({3, 0}).name, "NoScene");
  EXPECT_EQ(sequencer->sceneAt({0, 1}).file, "NoScriplet");
  EXPECT_EQ(gDemoSequencer, sequencer.get());
  frame(15);
  EXPECT_NEAR(gCameraPos.x, 5.0f, 1e-5f);
  sequencer.reset();
  EXPECT_EQ(gDemoSequencer, nullptr);
}

// The undo stacks exist (as after the render-state module's first
// registration); script entries change states through them.
class SequencerUndoTest : public SequencerTest {
 protected:
  void SetUp() override {
    SequencerTest::SetUp();
    device.renderStates[7] = 1;
    device.renderStates[8] = 3;
    // Stacks that an earlier registration made are replaced by fresh ones.
    delete gRenderStateStack;
    for (TextureStageStateStack* stack : gTextureStageStateStacks) delete stack;
    gRenderStateStack = new RenderStateStack;
    for (int stage = 0; stage < 4; ++stage)
      gTextureStageStateStacks[stage] = new TextureStageStateStack(stage);
  }
  void TearDown() override {
    delete gRenderStateStack;
    gRenderStateStack = nullptr;
    for (TextureStageStateStack*& stack : gTextureStageStateStacks) {
      delete stack;
      stack = nullptr;
    }
    SequencerTest::TearDown();
  }
};

TEST_F(SequencerUndoTest, PassAAndCCallsAreUndoneAtOnceRenderAtTheFrameEnd) {
  writeRecordingScriplet("s.as", "s");
  writeRecordingScriplet("t.as", "t");
  ASSERT_TRUE(load("1 1 2 s s.as 0 10 0 0 t t.as 0 10 0 0"));
  timelineHook() = [](const std::string& what) {
    if (what == "s.init" || what == "s.begin" || what == "s.preRender" || what == "s.postRender")
      gRenderStateStack->set(7, 0);
    if (what == "s.render") gRenderStateStack->set(8, 2);
  };
  sequencer->initScenes();
  EXPECT_EQ(joinedEvents(), "s.init rs7=0 rs7=1 t.init");
  const int captureReads = device.renderStateReads;  // captured once
  EXPECT_GT(captureReads, 0);

  // What s.render changed holds for t.render and both postRenders.
  EXPECT_EQ(frame(1),
            "s.begin rs7=0 rs7=1 s.preRender rs7=0 rs7=1 t.begin t.preRender"
            " [scene s.render rs8=2 t.render scene]"
            " s.postRender rs7=0 rs7=1 t.postRender rs8=3");
  EXPECT_EQ(device.renderStateReads, 2 * captureReads);  // the frames' own capture
  frame(2);
  EXPECT_EQ(device.renderStateReads, 2 * captureReads);
}

TEST_F(SequencerTest, CamerasUseTheSharedDeviceAndTheRestTheSequencersOwn) {
  writeRecordingScriplet("s.as", "s");
  ASSERT_TRUE(load("1 2 1 cam dummy 0 10 0 1 0 1 s s.as 0 10 0 0"));
  RecordingDevice shared;
  gDevice = &shared;
  frame(1);
  ASSERT_EQ(shared.transformLog.size(), 3u);  // world, view, projection
  EXPECT_TRUE(shared.clears.empty());
  ASSERT_EQ(device.transformLog.size(), 2u);  // placement and restore
  EXPECT_EQ(device.transformLog[0].state, D3DTS_WORLD);
  EXPECT_EQ(device.clears.size(), 1u);
  gDevice = &device;
}

// The name index after every insertion equals the one a full rebuild makes:
// insertions at the front, middle and back of a track, equal starts, names
// repeated within a track and across tracks, tracks added out of order.
TEST_F(SequencerTest, NameIndexFollowsEveryInsertion) {
  struct Insertion {
    int track;
    const char* name;
    float start;
  };
  const std::vector<std::vector<Insertion>> sequences = {
      {{0, "a", 0}, {0, "b", 1}, {0, "c", 2}, {0, "d", 3}},
      {{0, "d", 3}, {0, "c", 2}, {0, "b", 1}, {0, "a", 0}},
      {{0, "a", 0}, {0, "c", 2}, {0, "b", 1}, {0, "b2", 1}, {0, "x", 1}, {0, "e", -1}},
      {{0, "x", 5}, {0, "x", 1}, {0, "y", 3}, {0, "x", 3}, {0, "x", 0}, {0, "y", 9}},
      {{2, "x", 0}, {0, "x", 0}, {1, "y", 0}, {0, "y", 4}, {2, "y", -2}, {1, "x", 7}, {0, "x", -5}},
  };
  for (std::size_t s = 0; s < sequences.size(); ++s) {
    DemoSequencer timeline(host.get(), &device);
    timeline.tracks.clear();
    timeline.rebuildIndex();
    for (const Insertion& insertion : sequences[s]) {
      Scene scene("dummy", insertion.name);
      scene.start = insertion.start;
      scene.isCamera = true;
      timeline.insertScene(insertion.track, scene);
      std::map<std::string, DemoSequencer::Location> rebuilt;
      for (int t = 0; t < (int)timeline.tracks.size(); ++t)
        for (int j = 0; j < (int)timeline.tracks[t].size(); ++j) {
          rebuilt[timeline.tracks[t][j].name] = DemoSequencer::Location(t, j);
          if (j > 0) {
            EXPECT_LE(timeline.tracks[t][j - 1].start, timeline.tracks[t][j].start);
          }
        }
      EXPECT_EQ(timeline.sceneIndex, rebuilt) << "sequence " << s << " after " << insertion.name;
    }
  }
  gDemoSequencer = sequencer.get();
}

// Loading n camera scenes writes each into the name index about once, not
// once per later insertion (which made large camera timelines load in
// quadratic time).
TEST_F(SequencerTest, LoadingManyCameraScenesIndexesEachSceneOnce) {
  constexpr int kScenes = 3000;
  std::string description = "0 2 " + std::to_string(kScenes);
  for (int i = 0; i < kScenes; ++i)
    description += " cam" + std::to_string(i) + " dummy " + std::to_string(i) + " -1 0 1 0";
  description += " 1 last dummy 0 -1 0 1 0";
  ASSERT_TRUE(load(description));
  EXPECT_LE(sequencer->indexWrites, std::size_t(2 * kScenes + 10));
  EXPECT_EQ(sequencer->findScene("cam0"), DemoSequencer::Location(0, 0));
  EXPECT_EQ(sequencer->findScene("cam2999"), DemoSequencer::Location(0, kScenes - 1));
  EXPECT_EQ(sequencer->findScene("last"), DemoSequencer::Location(1, 0));
  EXPECT_EQ(sequencer->findScene("DemoPath"), DemoSequencer::Location(-1, -1));
}

// The sequencer finds a scene's scriplet and reads its placement once, and
// keeps both only while the host is unchanged: a placement value set between
// frames moves the next frame's render, a recompiled scriplet of the scene's
// name takes the calls, and an unloaded one gets none.
TEST_F(SequencerTest, PlacementAndScripletFollowTheHostBetweenFrames) {
  writeRecordingScriplet("s.as", "s");
  ASSERT_TRUE(load("1 1 1\ns s.as 0 10 1 0\nscript_pos_x 1\n"));
  D3DXMatrixIdentity(&device.world);
  const auto renderedX = [&] {
    const TimelineEvent* render = findEvent("s.render");
    return render ? render->world._41 : -100.0f;
  };
  frame(1);
  EXPECT_EQ(renderedX(), 1.0f);
  frame(1.5f);
  EXPECT_EQ(renderedX(), 1.0f);

  host->setExternValue("s", "script_pos_x", "4");
  frame(2);
  EXPECT_EQ(renderedX(), 4.0f);
  host->setExternTyped("s", "script_pos_x", "float", "-2.5");
  frame(2.5f);
  EXPECT_EQ(renderedX(), -2.5f);

  std::string error;
  ASSERT_TRUE(host->compile("s", "void render(float t) { rec(\"again.render\"); }\n", error))
      << error;
  EXPECT_EQ(frame(3), "[scene again.render scene]");

  ASSERT_TRUE(host->unload("s", false));
  EXPECT_EQ(frame(4), "[scene scene]");
}
