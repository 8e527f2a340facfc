// A show that runs for hours starts its scenes again and again: whatever a
// scene makes when it begins and lets go of when it begins anew must leave
// the device, the D3DX objects and the resource store where they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/d3d9/D3D9TestSeams.h"
#include "platform/d3d9/Resource.h"
#include "platform/d3dx/Counted.h"
#include "platform/sound/Sound.h"
#include "scriptapi/Music.h"
#include "tests/texture_script_fixture.h"

namespace {

struct RestartCase {
  const char* label;
  const char* source;  // globals, begin and whatever else the scene draws with
};

// Every scene's helpers: fills, a height field and an offscreen drawing.
const char* const kHelpers = R"(
void texels(int w, int h, vectorN v) {
  for (int i = 0; i < w * h; i++)
    v.set4(i, 0.5, 0.25, 1.0, 1.0);
}
void heights(int w, int h, vectorN v) {
  for (int i = 0; i < w * h; i++)
    v.set(i * 3 + 2, 0.1);
}
)";

const RestartCase kRestartCases[] = {
    {"TexturesAndTargets", R"(
texture tex;
texture target;
texture mipmapped;
cubeTexture cube;
void inside() { tex.renderOverlay(0, 0); }
void begin() {
  tex = createTexture(32, 32);
  tex.fill(@texels);
  target = createRenderTarget(64, 64);
  mipmapped = createMipmappedRenderTarget(32, 32);
  cube = createCubeRenderTarget(16);
}
void preRender(float t) { target.renderToTexture(@inside); }
void render(float t) { target.renderScaledOverlay(0.0, 0.0, 0.5, 0.5); }
)"},
    {"FilesSharedAndUnique", R"(
texture picture;
mesh orb;
void begin() {
  picture = createTextureFromFile("title.png");
  orb = createMeshFromFile_uniqueInstance("orb.x");
}
void render(float t) {
  picture.setCurrent(0);
  orb.draw();
}
)"},
    {"ShapesAndText", R"(
mesh pot;
mesh words;
mesh letter;
vertexBuffer plane;
vertexBuffer quad;
void begin() {
  pot = createTeapot();
  words = createText("SCENE", "Arial", 0.2);
  letter = createMesh_GetFontLetter("Q", "Arial");
  plane = createMeshPlane(4, 4, @heights);
  quad = createTexturedQuad2D(0, 0, 8, 8);
}
void render(float t) {
  pot.draw();
  words.draw();
  letter.draw();
  plane.draw();
  quad.draw();
}
)"},
    {"EffectsAndTextureShaders", R"(
effect fx;
texture procedural;
mesh pot;
void begin() {
  fx = createEffectFromFile("glow.fx");
  procedural = generateProceduralTextureFromFile("grid.tx", "grid", "", 32, 32);
  pot = createTeapot();
}
void render(float t) {
  uint passes = 0;
  fx.begin(passes, 0);
  for (uint p = 0; p < passes; p++) {
    fx.beginPass(p);
    pot.draw();
    fx.endPass();
  }
  if (passes > 0)
    fx.end();
  procedural.renderOverlay(0, 0);
}
)"},
    {"Blur", R"(
postProcess blur;
texture target;
texture scratch;
void begin() {
  blur = createBlur(64, 64, 0.75);
  target = createRenderTarget(64, 64);
  scratch = createRenderTarget(64, 64);
}
void render(float t) {
  target.copyFromBackBuffer();
  blur.executePostProcess(target, scratch, 1.0);
  target.renderOverlay(0, 0);
}
)"},
    {"MusicStartedSeekedAndSynced", R"(
void begin() {
  startMusic("tune.mod");
  seekMusic(1, 0);
  musicSyncChannel(1);
}
void render(float t) {}
)"},
};

class SceneRestart : public TextureScene, public testing::WithParamInterface<RestartCase> {
 protected:
  void SetUp() override {
    TextureScene::SetUp();
    sound_test::setManualOutput(true);
    const std::filesystem::path sample = std::filesystem::path(ENGINE_SOURCE_DIR) / "sample";
    for (const char* file : {"effects/glow.fx", "effects/grid.tx", "models/orb.x",
                             "pictures/title.png", "music/tune.mod"})
      std::filesystem::copy_file(sample / file, std::filesystem::path(file).filename());
  }
  void TearDown() override {
    stopMusic();
    TextureScene::TearDown();
    sound_test::setManualOutput(false);
  }

  // One run of the scene from its start to its end, as the sequencer
  // makes it: begin and one frame's calls, then end.
  void playOnce() {
    host->callEntry("scene", ENTRY_BEGIN);
    host->callEntry("scene", ENTRY_PRERENDER);
    render();
    host->callEntry("scene", ENTRY_POSTRENDER);
    host->callEntry("scene", ENTRY_END);
  }

  struct Held {
    long resources, d3dxObjects;
    size_t storeEntries;
  };
  Held held() const {
    return {d3d9_test::liveResourceCount(), d3dx_com::gLiveObjects.load(),
            database->entries.size()};
  }
};

// The first two runs may fill caches meant to be filled once (glyphs,
// shader programs); from then on every run ends where the one before did.
TEST_P(SceneRestart, EveryRunEndsHoldingWhatTheRunBeforeHeld) {
  compile(std::string(kHelpers) + GetParam().source);
  playOnce();
  playOnce();
  const Held before = held();
  for (int run = 0; run < 6; ++run) {
    playOnce();
    const Held now = held();
    EXPECT_EQ(now.resources, before.resources) << "run " << run;
    EXPECT_EQ(now.d3dxObjects, before.d3dxObjects) << "run " << run;
    EXPECT_EQ(now.storeEntries, before.storeEntries) << "run " << run;
  }
  for (const std::string& line : logged()) EXPECT_EQ(line.find("Error"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Scenes, SceneRestart, testing::ValuesIn(kRestartCases),
                         [](const testing::TestParamInfo<RestartCase>& info) {
                           return std::string(info.param.label);
                         });

}  // namespace
