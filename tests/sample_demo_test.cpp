// The sample demo, played headless through the entry routine from loose
// files and from packages, until its director scriplet ends it: its music
// plays, its scenes draw what they should and pulse with the beat.
#include <gtest/gtest.h>
#include <stb_image_write.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/Log.h"
#include "platform/d3d9/D3D9TestSeams.h"
#include "platform/sound/Sound.h"
#include "platform/win32/TestSeams.h"
#include "runtime/DemoSequencer.h"
#include "runtime/WinMain.h"
#include "tests/PackageWriter.h"
#include "tests/runtime_globals.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string>& sampleLog() {
  static std::vector<std::string> texts;
  return texts;
}

std::string readSample(const std::string& name) {
  std::ifstream in(fs::path(ENGINE_SOURCE_DIR) / "sample" / name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Mean colour of a rectangle of a frame, 0 to 255 per channel.
struct Mean {
  double r = 0, g = 0, b = 0;
  double brightness() const { return (r + g + b) / 3.0; }
};

Mean mean(const d3d9_test::Frame& f, int x0, int y0, int x1, int y1) {
  Mean m;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      uint32_t p = f.at(x, y);
      m.r += (p >> 16) & 0xFF;
      m.g += (p >> 8) & 0xFF;
      m.b += p & 0xFF;
    }
  double n = double(x1 - x0) * double(y1 - y0);
  m.r /= n;
  m.g /= n;
  m.b /= n;
  return m;
}

// Mean absolute difference per channel of two frames of one size.
double difference(const d3d9_test::Frame& a, const d3d9_test::Frame& b) {
  double sum = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i)
    for (int shift = 0; shift < 24; shift += 8)
      sum += std::abs(int((a.pixels[i] >> shift) & 0xFF) - int((b.pixels[i] >> shift) & 0xFF));
  return sum / double(a.pixels.size() * 3);
}

// Share of the pixels of a rectangle that pass a test of their colour.
template <typename Test>
double share(const d3d9_test::Frame& f, int x0, int y0, int x1, int y1, Test test) {
  int count = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      uint32_t p = f.at(x, y);
      if (test(int((p >> 16) & 0xFF), int((p >> 8) & 0xFF), int(p & 0xFF))) ++count;
    }
  return double(count) / (double(x1 - x0) * double(y1 - y0));
}

// The lit teapot's gold: red over green well over blue.
bool isGold(int r, int g, int b) { return r > 120 && g > 70 && r > b + 60 && g > b + 20; }
// The letters' pink: red and blue high, green low.
bool isPink(int r, int g, int b) { return r > 170 && b > 120 && g < 140; }

// The reeds' silhouettes: nearly black, darker than anything of the dawn.
bool isDark(int r, int g, int b) { return r + g + b < 45; }

class SampleDemoTest : public testing::Test {
 protected:
  static constexpr float kLength = 30.72f;  // the director's demo_length

  void SetUp() override {
    platform_test::reset();
    d3d9_test::reset();
    test_globals::resetRuntimeGlobals();
    sound_test::setManualOutput(true);
    sampleLog().clear();
    gLogHook = [](const char* text) { sampleLog().push_back(text); };
    // A fatal error ends the process: show what the log said before it.
    gFatalErrorHook = [](const char* text) {
      for (const std::string& t : sampleLog()) std::fprintf(stderr, "%s\n", t.c_str());
      std::fprintf(stderr, "%s\n", text);
    };
    previous = fs::current_path();
    scratch = fs::temp_directory_path() / ("sample-" + std::to_string(getpid()));
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    fs::current_path(scratch);
  }
  void TearDown() override {
    test_globals::resetRuntimeGlobals();  // lets go of the run's letters, and its device
    gLogHook = nullptr;
    gFatalErrorHook = nullptr;
    platform_test::reset();
    d3d9_test::reset();
    sound_test::setManualOutput(false);
    fs::current_path(previous);
    fs::remove_all(scratch);
  }

  // Plays with a clock that moves `stepMs` at every presented frame. After
  // each frame the music is mixed by hand for the same time, so its syncs
  // fire between frames as they would in real time, and the loudness of
  // every second of it is kept. The first frame at or after each of `times`
  // is kept as well.
  int play(std::string commandLine, int stepMs, std::vector<float> times = {}) {
    gEndDemo = false;
    wanted = std::move(times);
    d3d9_test::setFrameCaptureEnabled(!wanted.empty());
    platform_test::setTickSource([this, stepMs]() { return tick(stepMs); });
    int result = WinMain(nullptr, nullptr, commandLine.data(), 1);
    platform_test::setTickSource(nullptr);
    if (const char* folder = std::getenv("SAMPLE_DEMO_FRAMES")) writeFrames(folder);
    return result;
  }

  uint32_t tick(int stepMs) {
    int presents = d3d9_test::presentCount();
    if (presents != framesSeen && !inTick) {
      inTick = true;  // the mixer's syncs read the clock too
      framesSeen = presents;
      const d3d9_test::Frame& frame = d3d9_test::lastPresentedFrame();
      while (frames.size() < wanted.size() && gCurrentTime >= wanted[frames.size()] &&
             !frame.empty())
        frames.push_back({gCurrentTime, frame});
      std::vector<float> mix(size_t(2 * 441 * stepMs / 10));
      sound_test::render(mix.data(), int(mix.size() / 2));
      size_t second = size_t(gCurrentTime);
      if (loudness.size() <= second) loudness.resize(second + 1);
      for (float s : mix) loudness[second] += double(s) * s;
      inTick = false;
    }
    return uint32_t(stepMs) * uint32_t(presents);
  }

  // With SAMPLE_DEMO_FRAMES naming a folder, the kept frames go there as
  // PNG files to be looked at.
  void writeFrames(const char* folder) {
    for (const Kept& k : frames) {
      std::vector<uint8_t> rgb;
      for (uint32_t p : k.frame.pixels)
        rgb.insert(rgb.end(), {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p)});
      char name[64];
      std::snprintf(name, sizeof name, "/frame-%05.2f.png", double(k.time));
      stbi_write_png((std::string(folder) + name).c_str(), k.frame.width, k.frame.height, 3,
                     rgb.data(), k.frame.width * 3);
    }
  }

  void writePackage(bool gzipped) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const char* name :
         {"main.demo", "director.as", "scenes\\dawn.as", "scenes\\plasma.as", "scenes\\tunnel.as",
          "scenes\\finale.as", "scenes\\pulse.as", "scenes\\teapot.as", "scenes\\glow.as",
          "scenes\\landscape.as", "scenes\\reeds.as", "models\\orb.x", "models\\reed.x",
          "music\\tune.mod", "pictures\\title.png"}) {
      std::string file = name;
      for (char& c : file)
        if (c == '\\') c = '/';
      entries.push_back({name, readSample(file)});
    }
    ASSERT_TRUE(package_writer::writeFile("demo.dat", package_writer::package(entries), gzipped));
  }

  bool logged(const std::string& text) const {
    for (const std::string& t : sampleLog())
      if (t == text) return true;
    return false;
  }

  // The show ran to its end and was ended by the director's request, with
  // the music sounding all the way.
  void expectPlayedToTheEnd(int exitCode, int stepMs,
                            const char* greeting = "dawn: hello from the dawn") {
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(gEndDemo);
    EXPECT_GE(gCurrentTime, kLength);
    EXPECT_LT(gCurrentTime, kLength + stepMs * 0.001f);
    // One frame per clock step, from time 0 to the end (full screen presents
    // once more before the first frame).
    int frameCount = int(std::ceil(kLength * 1000.0f / float(stepMs))) + 2;
    EXPECT_GE(d3d9_test::presentCount(), frameCount - 1);
    EXPECT_LE(d3d9_test::presentCount(), frameCount);
    for (const char* text : {"director: the show begins", greeting, "dawn: done", "plasma: done",
                             "tunnel: done", "finale: done", "reeds: done", "teapot: done",
                             "glow: done", "landscape: done", "director: the show is over"})
      EXPECT_TRUE(logged(text)) << text;
    EXPECT_TRUE(platform_test::messageBoxes().empty());
    for (const std::string& t : sampleLog()) EXPECT_EQ(t.find("TQScript"), std::string::npos) << t;
    // The music sounded in every whole second of the show, and the director
    // stopped it when the show was over.
    ASSERT_GE(loudness.size(), size_t(kLength));
    for (size_t second = 0; second + 1 < size_t(kLength); ++second)
      EXPECT_GT(loudness[second], 1.0) << "second " << second;
    EXPECT_EQ(sound_test::channelCount(), 0);
    // The last frame flew the orbit camera, holding its third key.
    EXPECT_NEAR(gCameraPos.x, 0.0f, 1e-3f);
    EXPECT_NEAR(gCameraPos.y, 8.0f, 1e-3f);
    EXPECT_NEAR(gCameraPos.z, 8.0f, 1e-3f);
    EXPECT_EQ(gCameraFar, 500.0f);
  }

  // The sample is played from its own folder by its bare name, as
  // scripts/play does: a command line holding the checkout's path would
  // name a package wherever that path holds ".dat".
  static fs::path sampleFolder() { return fs::path(ENGINE_SOURCE_DIR) / "sample"; }

  struct Kept {
    float time;
    d3d9_test::Frame frame;
  };
  const Kept& at(float time) const {
    for (const Kept& k : frames)
      if (k.time >= time) return k;
    return frames.back();
  }

  fs::path previous, scratch;
  std::vector<float> wanted;
  std::vector<Kept> frames;
  std::vector<double> loudness;  // sum of squared samples per second of the show
  int framesSeen = -1;
  bool inTick = false;
};

}  // namespace

// Frames at chosen moments of every scene, looked at in coarse regions of
// the 640 x 480 screen.
TEST_F(SampleDemoTest, PlaysFromLooseFilesAndDrawsEveryScene) {
  const std::vector<float> times = {1.0f,  3.76f, 3.92f, 4.28f, 5.5f,  9.0f,  9.5f,  12.0f, 15.4f,
                                    16.0f, 18.0f, 18.5f, 21.0f, 25.0f, 25.3f, 27.0f, 30.6f};
  fs::current_path(sampleFolder());
  expectPlayedToTheEnd(play("main.demo", 40, times), 40);
  ASSERT_EQ(frames.size(), times.size());
  for (const Kept& k : frames) {
    ASSERT_EQ(k.frame.width, 640);
    ASSERT_EQ(k.frame.height, 480);
  }
  SCOPED_TRACE("set SAMPLE_DEMO_FRAMES to a folder to see these frames");

  // Dawn: a night sky, blue above; the sun is up and the title shines.
  Mean sky = mean(at(1.0f).frame, 0, 0, 640, 60);
  EXPECT_GT(sky.b, sky.r);
  EXPECT_LT(sky.brightness(), 60.0);
  Mean title = mean(at(5.5f).frame, 200, 150, 440, 200);
  EXPECT_GT(title.brightness(), 80.0);
  // The sun swells with the kick on the beat at 3.84 s and dies down again.
  double before = mean(at(3.76f).frame, 280, 280, 360, 360).brightness();
  double onBeat = mean(at(3.92f).frame, 280, 280, 360, 360).brightness();
  double after = mean(at(4.28f).frame, 280, 280, 360, 360).brightness();
  EXPECT_GT(onBeat, before + 5.0);
  EXPECT_GT(onBeat, after + 5.0);

  // Plasma: colour everywhere, and it moves.
  for (float t : {9.0f, 12.0f}) {
    const d3d9_test::Frame& f = at(t).frame;
    for (int qx = 0; qx < 2; ++qx)
      for (int qy = 0; qy < 2; ++qy)
        EXPECT_GT(mean(f, qx * 320, qy * 240, qx * 320 + 320, qy * 240 + 240).brightness(), 30.0)
            << t;
  }
  EXPECT_GT(difference(at(9.0f).frame, at(9.5f).frame), 8.0);

  // A white flash where the tunnel takes over from the plasma, gone half a
  // second later.
  EXPECT_GT(mean(at(15.4f).frame, 0, 0, 640, 480).brightness(), 150.0);
  EXPECT_LT(mean(at(16.0f).frame, 0, 0, 640, 480).brightness(), 80.0);

  // Tunnel: glowing trails around the middle on a dark ground, in motion.
  EXPECT_GT(mean(at(18.0f).frame, 220, 140, 420, 340).brightness(), 25.0);
  EXPECT_LT(mean(at(18.0f).frame, 0, 0, 640, 480).brightness(), 120.0);
  EXPECT_GT(difference(at(18.0f).frame, at(18.5f).frame), 4.0);
  EXPECT_GT(difference(at(18.0f).frame, at(21.0f).frame), 4.0);

  // Finale: the spectrum's bars stand in the lower half, and they change.
  EXPECT_GT(mean(at(25.0f).frame, 0, 240, 640, 360).brightness(), 20.0);
  EXPECT_GT(difference(at(25.0f).frame, at(25.3f).frame), 2.0);
  EXPECT_GT(mean(at(27.0f).frame, 200, 75, 440, 115).brightness(), 60.0);  // the title again

  // The show fades out to black.
  EXPECT_LT(mean(at(30.6f).frame, 0, 0, 640, 480).brightness(), 12.0);

  // The 3D scenes between the backgrounds and the overlay. Without them the
  // dawn holds no near-black, the middle of the plasma no gold at all, the
  // band across the middle of the tunnel is half as bright and the finale's
  // lowest rows are dark.
  // Dark reeds stand in the lower half of the dawn (about three per cent of
  // it; the dawn alone has no pixel this dark there).
  for (float t : {3.76f, 5.5f}) EXPECT_GT(share(at(t).frame, 0, 240, 640, 480, isDark), 0.015) << t;
  // The lit teapot turns over the plasma in gold (a quarter of the middle of
  // the screen or more).
  for (float t : {9.0f, 12.0f}) EXPECT_GT(share(at(t).frame, 200, 150, 440, 330, isGold), 0.1) << t;
  // The pink letters stand in a row across the middle of the tunnel.
  for (float t : {18.0f, 21.0f}) {
    EXPECT_GT(mean(at(t).frame, 40, 190, 600, 290).brightness(), 58.0) << t;
    EXPECT_GT(share(at(t).frame, 0, 120, 640, 360, isPink), 0.025) << t;
  }
  // The grid of the landscape glows in the finale's lowest rows, and its
  // hills roll under the moving camera.
  for (float t : {25.0f, 27.0f})
    EXPECT_GT(mean(at(t).frame, 0, 380, 640, 480).brightness(), 40.0) << t;
  EXPECT_GT(difference(at(25.0f).frame, at(27.0f).frame), 25.0);
}

TEST_F(SampleDemoTest, PlaysFromAPlainPackage) {
  writePackage(false);
  expectPlayedToTheEnd(play("demo.dat", 120), 120);
}

TEST_F(SampleDemoTest, PlaysFromAGzippedPackage) {
  writePackage(true);
  expectPlayedToTheEnd(play("", 120), 120);  // the default package name
}

// Every value line of the description is optional: without them the
// scriplets' own defaults hold (the director's length and music, the
// dawn's greeting, the glow's words, the fade-out's time), and the show
// plays to its end all the same.
TEST_F(SampleDemoTest, PlaysWithEveryValueLineLeftToTheScripletsDefaults) {
  struct Edit {
    const char* scene;    // the scene's line, its count of value lines...
    const char* without;  // ...and the same line counting none
    std::vector<const char*> values;
  } edits[] = {
      {"director director.as 0 -1 2 0",
       "director director.as 0 -1 0 0",
       {"demo_length 30.72", "music music\\tune.mod"}},
      {"dawn scenes\\dawn.as 0 7.68 1 0",
       "dawn scenes\\dawn.as 0 7.68 0 0",
       {"greeting hello from the dawn"}},
      {"glow scenes\\glow.as 15.36 23.04 1 0",
       "glow scenes\\glow.as 15.36 23.04 0 0",
       {"words GLOW + PULSE"}},
      {"pulse scenes\\pulse.as 0 30.72 1 0",
       "pulse scenes\\pulse.as 0 30.72 0 0",
       {"fade_out_at 29.2"}},
  };
  std::string description = readSample("main.demo");
  for (const Edit& edit : edits) {
    std::string block = edit.scene + std::string("\n");
    for (const char* value : edit.values) block += value + std::string("\n");
    size_t at = description.find(block);
    ASSERT_NE(at, std::string::npos) << block;
    description.replace(at, block.size(), edit.without + std::string("\n"));
  }
  fs::copy(sampleFolder(), scratch, fs::copy_options::recursive);
  std::ofstream(scratch / "main.demo", std::ios::binary) << description;
  expectPlayedToTheEnd(play("main.demo", 120), 120, "dawn: hello");
}
