// The music functions: starting and stopping a piece through the store,
// instrument syncs as scripts query them, seeking and the spectrum bands.
// The sound library's mixer is driven by the tests and the tick counter is
// the test's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/TQDatabase.h"
#include "platform/sound/Sound.h"
#include "platform/win32/TestSeams.h"
#include "runtime/DemoSequencer.h"
#include "runtime/WinMain.h"
#include "scriptapi/Music.h"
#include "tests/SoundFixtures.h"
#include "tests/StoreFixture.h"
#include "tests/math_script_fixture.h"
#include "tests/runtime_globals.h"

namespace {

constexpr int kRowFrames = 5292;  // one row at speed 6, tempo 125

// Notes of sample 1 on rows 0 (volume 32) and 8, of sample 2 on row 4.
std::string songBytes() {
  TinyMod mod;
  mod.samples = {TinyMod::Sample{}, TinyMod::Sample{2048, 48, 16}};
  mod.cells = {{0, 0, 0, 1, 428, 0xC, 0x20}, {0, 4, 1, 2, 214}, {0, 8, 0, 1, 428}};
  return mod.bytes();
}

class MusicTest : public ScratchFolder {
 protected:
  void SetUp() override {
    ScratchFolder::SetUp();
    sound_test::setManualOutput(true);
    platform_test::setTickSource([this] { return now; });
    previousStore = gDatabase;
    gDatabase = &store;
    test_globals::resetRuntimeGlobals();
    write("song.mod", songBytes());
    write("sine.wav", sineWav(44100, 1, 44100, 40.0 * 44100 / 2048, 0.5));
  }
  void TearDown() override {
    stopMusic();
    gDatabase = previousStore;
    gTimeResyncRequest = false;
    platform_test::setTickSource(nullptr);
    sound_test::setManualOutput(false);
    ScratchFolder::TearDown();
  }

  static void mix(int frames) {
    std::vector<float> out(256 * 2);
    for (int done = 0; done < frames; done += 256) sound_test::render(out.data(), 256);
  }
  static float peak(int frames) {
    std::vector<float> out((size_t)frames * 2);
    sound_test::render(out.data(), frames);
    float most = 0;
    for (float s : out) most = std::max(most, std::fabs(s));
    return most;
  }
  static void start(const std::string& name) { startMusic(&name); }
  int uniqueEntries(const std::string& name) {
    int count = 0;
    for (auto& [key, entry] : store.entries) count += key.rfind(name + "_", 0) == 0;
    return count;
  }

  TQDatabaseFilesystem store;
  TQDatabase* previousStore = nullptr;
  uint32_t now = 1000;
  LogCapture log;
};

}  // namespace

TEST(MusicModule, RegistersItsSixFunctions) {
  LogCapture log;
  MathScript script;
  EXPECT_EQ(initMusic(script.engine()), 0);
  EXPECT_TRUE(log.lines().empty());
  for (const char* declaration :
       {"void startMusic(string &in)", "void stopMusic()", "void seekMusic(int,int)",
        "void musicSyncChannel(int)",
        "int musicChannelGetinfo(int &in,float &out,float &out,float &out)",
        "float musicGetSpectrumInfo(int &in,int &in)"})
    EXPECT_NE(script.engine()->GetGlobalFunctionByDecl(declaration), nullptr) << declaration;
}

TEST(MusicModule, ARejectedRegistrationIsReportedOnce) {
  LogCapture log;
  asIScriptEngine* engine = asCreateScriptEngine(ANGELSCRIPT_VERSION);
  engine->SetMessageCallback(asFUNCTION(+[](const asSMessageInfo*, void*) {}), nullptr,
                             asCALL_CDECL);
  // Without the string type startMusic cannot be declared; the rest can.
  EXPECT_LT(initMusic(engine), 0);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"TQScript - initMusic failed"});
  EXPECT_NE(engine->GetGlobalFunctionByDecl("void stopMusic()"), nullptr);
  engine->ShutDownAndRelease();
}

TEST_F(MusicTest, StartPlaysAModuleOrAStreamAndKeepsTheFramesDemoTime) {
  struct Case {
    const char* name;
    int isStream;
  } cases[] = {{"song.mod", 0}, {"sine.wav", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gCurrentTime = 12.5f;
    gTimeResyncRequest = false;
    start(c.name);
    EXPECT_TRUE(gBassReady);
    EXPECT_NE(gMusicChannel, 0u);
    EXPECT_EQ(gMusicIsStream, c.isStream);
    EXPECT_GT(peak(2048), 0.1f);
    EXPECT_TRUE(gTimeResyncRequest);
    EXPECT_EQ(gCurrentTime, 12.5f);
  }
  EXPECT_TRUE(log.lines().empty());
  stopMusic();
  EXPECT_EQ(gMusicChannel, 0u);
  EXPECT_FALSE(gBassReady);
  EXPECT_FALSE(sound_test::initialised());
  EXPECT_TRUE(gMusicFileData.empty());
}

// A new piece stops the old one, re-initialises the library, forgets the
// bindings and starts from its beginning; every start reads the file anew.
TEST_F(MusicTest, StartingAgainReplacesThePieceAndForgetsTheBindings) {
  start("song.mod");
  musicSyncChannel(1);
  mix(kRowFrames);
  ASSERT_EQ(gMusicSyncCount, 1);
  ASSERT_NE(gMusicSyncSlots[0].lastTick.load(), 0u);
  const int inits = sound_test::initCount();
  const uint32_t firstChannel = gMusicChannel;
  const int keys = TQDatabaseFilesystem::uniqueCounter;

  start("song.mod");
  EXPECT_EQ(sound_test::initCount(), inits + 1);
  EXPECT_EQ(sound_test::channelCount(), 1);
  EXPECT_NE(gMusicChannel, firstChannel);
  EXPECT_EQ(gMusicSyncCount, 0);
  EXPECT_EQ(gMusicSyncSlots[0].lastTick.load(), 0u);
  // Read afresh under a key of its own; the first piece's entry, whose last
  // handle went with it, is not kept.
  EXPECT_EQ(TQDatabaseFilesystem::uniqueCounter, keys + 1);
  EXPECT_EQ(uniqueEntries("song.mod"), 1);

  const int instrument = 1;
  float elapsed = -1, note = -1, volume = -1;
  musicSyncChannel(1);
  now = 2000;
  mix(256);  // row 0 again: the new piece plays from its start
  EXPECT_EQ(musicChannelGetinfo(&instrument, &elapsed, &note, &volume), 1);
  EXPECT_EQ(note, 60.0f);
  EXPECT_EQ(volume, 32.0f);
}

TEST_F(MusicTest, RefusedInitialisationLogsAndChangesNothing) {
  sound_test::setManualOutput(false);
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  gCurrentTime = 3.0f;
  start("song.mod");
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"TQScript - BASS_Init failed"});
  EXPECT_FALSE(gBassReady);
  EXPECT_EQ(gMusicChannel, 0u);
  EXPECT_FALSE(gTimeResyncRequest);
  EXPECT_EQ(uniqueEntries("song.mod"), 0);
}

// The tests that end a child process form a suite of their own, which
// Google Test runs first: a child inherits everything the process holds,
// and what earlier tests left behind would be reported when it exits.
using MusicDeathTest = MusicTest;

TEST_F(MusicDeathTest, UnplayableOrMissingMusicEndsTheRun) {
  write("noise.bin", std::string(4000, '\x33'));
  for (const char* name : {"noise.bin", "absent.mod"}) {
    EXPECT_EXIT(
        {
          gFatalErrorHook = [](const char* text) { std::fprintf(stderr, "fatal <%s>\n", text); };
          start(name);
        },
        testing::ExitedWithCode(255),
        std::string("fatal <Error loading music \\(") + name + "\\) - Abort>");
  }
}

TEST_F(MusicTest, InstrumentQueriesReportTheLastTrigger) {
  const int one = 1, two = 2, unbound = 3;
  float elapsed = -1, note = -1, volume = -1;

  musicSyncChannel(1);  // no music yet
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "musicSyncChannel - cannot bind channel on non-started music."});
  log.lines().clear();

  start("song.mod");
  musicSyncChannel(1);
  musicSyncChannel(2);
  musicSyncChannel(1);  // already bound: one slot
  EXPECT_EQ(gMusicSyncCount, 2);

  // Bound, not yet sounded: 0 with zero outputs, nothing logged.
  EXPECT_EQ(musicChannelGetinfo(&one, &elapsed, &note, &volume), 0);
  EXPECT_EQ(std::vector<float>({elapsed, note, volume}), std::vector<float>(3, 0.0f));
  EXPECT_TRUE(log.lines().empty());

  mix(kRowFrames);  // row 0: sample 1, volume 32
  now = 1250;
  EXPECT_EQ(musicChannelGetinfo(&one, &elapsed, &note, &volume), 1);
  EXPECT_FLOAT_EQ(elapsed, 0.25f);
  EXPECT_EQ(note, 60.0f);
  EXPECT_EQ(volume, 32.0f);
  EXPECT_EQ(musicChannelGetinfo(&two, &elapsed, &note, &volume), 0);

  mix(4 * kRowFrames);  // row 4: sample 2 an octave up, full volume
  now = 1300;
  EXPECT_EQ(musicChannelGetinfo(&two, &elapsed, &note, &volume), 1);
  EXPECT_FLOAT_EQ(elapsed, 0.05f);
  EXPECT_EQ(note, 72.0f);
  EXPECT_EQ(volume, 64.0f);

  // The tick counter wraps between trigger and query.
  now = 0xFFFFFF00u;
  mix(4 * kRowFrames);  // row 8: sample 1 again, full volume
  now = 0x100;
  EXPECT_EQ(musicChannelGetinfo(&one, &elapsed, &note, &volume), 1);
  EXPECT_FLOAT_EQ(elapsed, 0.512f);
  EXPECT_EQ(volume, 64.0f);

  EXPECT_EQ(musicChannelGetinfo(&unbound, &elapsed, &note, &volume), 0);
  EXPECT_EQ(std::vector<float>({elapsed, note, volume}), std::vector<float>(3, 0.0f));
  EXPECT_EQ(
      log.lines(),
      std::vector<std::string>{
          "musicChannelGetElapsedTime - cannot find sync channel (missing musicSyncChannel in init?)."});
}

// Slots for 128 instruments; a further binding is not made and its queries
// report it as unbound.
TEST_F(MusicTest, BindingsBeyondTheSlotsAreNotMade) {
  start("song.mod");
  for (int instrument = 1; instrument <= 130; ++instrument) musicSyncChannel(instrument);
  EXPECT_EQ(gMusicSyncCount, 128);
  float elapsed = -1, note = -1, volume = -1;
  const int last = 128, beyond = 129;
  EXPECT_EQ(musicChannelGetinfo(&last, &elapsed, &note, &volume), 0);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(musicChannelGetinfo(&beyond, &elapsed, &note, &volume), 0);
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(MusicTest, SeekMovesToOrderAndRowAndReportsRefusals) {
  testing::internal::CaptureStdout();
  seekMusic(0, 4);  // no music: nothing, silently
  stopMusic();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  start("song.mod");
  musicSyncChannel(2);
  const int two = 2;
  float elapsed = -1, note = -1, volume = -1;
  testing::internal::CaptureStdout();
  seekMusic(0, 4);
  mix(256);
  EXPECT_EQ(musicChannelGetinfo(&two, &elapsed, &note, &volume), 1);
  seekMusic(0, 64);      // past the pattern
  seekMusic(1, 0);       // past the order list
  seekMusic(0, 0x8000);  // a row that widens to a negative position
  char refused[64];
  std::snprintf(refused, sizeof refused, " error %d\n", BASS_ERROR_POSITION);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(refused) + refused + refused);
}

TEST_F(MusicTest, SpectrumBandsSumTheValuesAboveTheirLowerEdge) {
  for (int i = 0; i < kSpectrumValues; ++i) gSpectrum[i] = (float)i;
  gLastSpectrumTick = now;  // fetched just now: no new fetch
  auto sum = [](int from, int to) {
    float s = 0;
    for (int i = from; i <= to; ++i) s += (float)i;
    return std::sqrt(s);
  };
  struct Case {
    int band, bands;
    float want;
  } cases[] = {
      {0, 4, sum(1, 256)},
      {1, 3, sum(342, 682)},
      {5, 2048, std::sqrt(3.0f)},
      {5, 4096, 0},
      {3, 4, sum(769, 1023)},  // the last band ends with the last value
      {1023, 1024, 0},         // its only value would be one past the last
      {-1, 4, 0},
      {4, 4, 0},
      {0, 0, 0},
      {0, -2, 0},
      {-3, -2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.band) + " of " + std::to_string(c.bands));
    EXPECT_FLOAT_EQ(musicGetSpectrumInfo(&c.band, &c.bands), c.want);
  }
}

TEST_F(MusicTest, SpectrumIsFetchedAtMostEveryFiftyMilliseconds) {
  const int band = 39, bands = 1024;  // value 40 alone: the sine's band
  // Without music the fetch fails and the values stay.
  gSpectrum[40] = 4.0f;
  gLastSpectrumTick = 0;
  EXPECT_FLOAT_EQ(musicGetSpectrumInfo(&band, &bands), 2.0f);

  start("sine.wav");
  mix(4096);
  now += 100;
  EXPECT_NEAR(musicGetSpectrumInfo(&band, &bands), std::sqrt(0.5f), 0.01f);
  gSpectrum[40] = 0.0f;
  now += 50;
  EXPECT_EQ(musicGetSpectrumInfo(&band, &bands), 0.0f) << "within 50 ms: no fetch";
  now += 1;
  EXPECT_NEAR(musicGetSpectrumInfo(&band, &bands), std::sqrt(0.5f), 0.01f);
}

// What scripts see. The outputs are the engine's temporaries, copied into
// the script's variables after every call: a query with nothing to report
// gives zeros, never what the temporaries held before.
TEST_F(MusicTest, ScriptsPlayAndQueryMusic) {
  MathScript script;
  ASSERT_EQ(initMusic(script.engine()), 0);
  ASSERT_TRUE(
      script.build("float e = -1, n = -1, v = -1;\n"
                   "void garble() { float a = -0.375, b = 7, c = 9, d = 11; }\n"
                   "int query() { return musicChannelGetinfo(1, e, n, v); }\n"
                   "void begin() { startMusic(\"song.mod\"); musicSyncChannel(1); }\n"))
      << script.messages();
  asIScriptModule* module = script.engine()->GetModule("test");
  auto outputs = [module] {
    std::vector<float> values;
    for (asUINT i = 0; i < 3; ++i)
      values.push_back(*static_cast<float*>(module->GetAddressOfGlobalVar(i)));
    return values;
  };
  ASSERT_TRUE(script.prepare("void begin()"));
  ASSERT_TRUE(script.run());
  ASSERT_TRUE(script.prepare("void garble()"));
  ASSERT_TRUE(script.run());
  ASSERT_TRUE(script.prepare("int query()"));
  ASSERT_TRUE(script.run());
  EXPECT_EQ(script.context()->GetReturnDWord(), 0u);
  EXPECT_EQ(outputs(), std::vector<float>(3, 0.0f));

  mix(256);
  now += 500;
  ASSERT_TRUE(script.prepare("int query()"));
  ASSERT_TRUE(script.run());
  EXPECT_EQ(script.context()->GetReturnDWord(), 1u);
  EXPECT_EQ(outputs(), (std::vector<float>{0.5f, 60.0f, 32.0f}));
}

// An output like a device's: the mix runs in blocks of 1024 frames while
// the frames heard lag it by three such blocks (70 ms); the tick counter
// follows what is heard. The play position moves on by 128 frames (2.9 ms)
// at a time until it reaches `until`; `look` runs after each step.
class MusicHeardTest : public MusicTest {
 protected:
  static constexpr int kBlock = 1024, kLag = 3 * kBlock, kStep = 128;
  void SetUp() override {
    MusicTest::SetUp();
    sound_test::drivePlayPosition(true);
  }
  uint32_t tickAt(int64_t frame) const { return 1000 + uint32_t(frame * 1000 / 44100); }
  void playTo(int64_t until, const std::function<void()>& look) {
    std::vector<float> block(2 * kBlock);
    while (heard < until) {
      while (sound_test::mixedFrames() < heard + kLag) sound_test::render(block.data(), kBlock);
      heard += kStep;
      now = tickAt(heard);
      sound_test::setPlayPosition(heard);
      look();
    }
  }
  int64_t heard = 0;
};

TEST_F(MusicHeardTest, InstrumentTriggersWhenItsRowIsHeard) {
  start("song.mod");
  musicSyncChannel(2);  // sample 2 plays on row 4
  const int64_t rowFrame = 4 * kRowFrames;
  const int two = 2;
  int64_t seenAt = -1;
  playTo(6 * kRowFrames, [&] {
    float elapsed, note, volume;
    if (seenAt < 0 && musicChannelGetinfo(&two, &elapsed, &note, &volume) == 1) seenAt = heard;
  });
  ASSERT_GE(seenAt, 0) << "never triggered";
  EXPECT_GE(seenAt, rowFrame - kStep) << "triggered before its row was heard";
  // Within 5 ms of the time its row was heard.
  const int32_t offset = int32_t(gMusicSyncSlots[0].lastTick - tickAt(rowFrame));
  EXPECT_LE(std::abs(offset), 5) << "triggered " << offset << " ms from its row";
}

TEST_F(MusicHeardTest, SpectrumIsThatOfWhatIsHeard) {
  // Silence, then from frame 16384 on the sine of band 40.
  const int toneFrame = 16384;
  std::string wav = sineWav(44100, 1, 44100, 40.0 * 44100 / 2048, 0.5);
  std::fill(wav.begin() + 44, wav.begin() + 44 + 2 * toneFrame, '\0');
  write("late.wav", wav);
  start("late.wav");
  const int band = 39, bands = 1024;  // value 40 alone
  // The spectrum covers the 2048 frames up to what is heard, and is fetched
  // at most every 50 ms (2205 frames).
  const int64_t toneFilled = toneFrame + 2048 + 2205;
  int silentLooks = 0, toneLooks = 0;
  int64_t loudBefore = -1, wrongAfter = -1;  // the first look that was wrong
  float wrongLevel = 0;
  playTo(toneFilled + 4096, [&] {
    const float level = musicGetSpectrumInfo(&band, &bands);
    if (heard <= toneFrame) {
      ++silentLooks;
      if (level >= 0.05f && loudBefore < 0) loudBefore = heard;
    } else if (heard >= toneFilled) {
      ++toneLooks;
      if (std::fabs(level - std::sqrt(0.5f)) > 0.01f && wrongAfter < 0) {
        wrongAfter = heard;
        wrongLevel = level;
      }
    }
  });
  EXPECT_EQ(loudBefore, -1) << "the tone showed at frame " << loudBefore << ", before it was heard";
  EXPECT_EQ(wrongAfter, -1) << "at frame " << wrongAfter << " the band read " << wrongLevel;
  EXPECT_GT(silentLooks, 100);
  EXPECT_GT(toneLooks, 20);
}

// Music cannot be turned back into bytes: the save succeeds with nothing.
TEST(MusicHandler, SavesNothing) {
  TQDataHandler_BassMusic handler;
  int channel = 7;
  char* buffer = nullptr;
  std::uint32_t length = 0;
  std::string error;
  EXPECT_TRUE(handler.saveToMemory(&channel, 4, &buffer, &length, error));
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(error.empty());
}

// Music plays on to the end of the run. At exit the output closes before the
// program's globals (the stream's bytes among them) are destroyed, so the
// device's callback never reads freed memory.
TEST_F(MusicDeathTest, OutputClosesBeforeTheGlobalsGoAtExit) {
  // A fresh process: the output registers its exit handler once per
  // process, and a child forked after earlier tests opened it would have it
  // registered before the observer below.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // Runs after every exit handler registered later.
        std::atexit([] {
          std::fprintf(stderr, "output open at exit: %d\n", (int)sound_test::outputOpen());
        });
        sound_test::setManualOutput(false);
        start("sine.wav");
        std::fprintf(stderr, "output open: %d\n", (int)sound_test::outputOpen());
        std::exit(0);
      },
      testing::ExitedWithCode(0), "output open: 1\noutput open at exit: 0\n");
}
