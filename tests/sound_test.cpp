// The sound library stand-in: loading streams and modules from memory,
// instrument syncs at the rows that play them, positions, the FFT and the
// output's life cycle. The mixer is driven by the tests (no audio device).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sound/Sound.h"
#include "tests/SoundFixtures.h"

namespace {

constexpr int kRate = 44100;
// A row at speed 6 and tempo 125 lasts 0.12 s.
constexpr int kRowFrames = 5292;

struct Trigger {
  int sync;  // which of the test's syncs fired
  int note, volume;
  long frame;  // frames mixed before the render call that fired it
};

std::vector<Trigger>& triggers() {
  static std::vector<Trigger> list;
  return list;
}
long gFramesMixed = 0;

void recordTrigger(HSYNC, DWORD, DWORD data, void* user) {
  triggers().push_back(
      Trigger{(int)(intptr_t)user, (int)(data & 0xFFFF), (int)(data >> 16), gFramesMixed});
}

class SoundLibrary : public testing::Test {
 protected:
  void SetUp() override {
    sound_test::setManualOutput(true);
    ASSERT_TRUE(BASS_Init(1, kRate, 0, nullptr, nullptr));
    triggers().clear();
    gFramesMixed = 0;
  }
  void TearDown() override {
    if (sound_test::initialised()) BASS_Free();
    sound_test::setManualOutput(false);
  }

  // Mixes `frames` frames in blocks of `block`, as a device would ask.
  std::vector<float> mix(int frames, int block = 256) {
    std::vector<float> out((size_t)frames * 2);
    for (int done = 0; done < frames; done += block) {
      const int n = std::min(block, frames - done);
      sound_test::render(out.data() + 2 * done, n);
      gFramesMixed += n;
    }
    return out;
  }
  static float peak(const std::vector<float>& samples) {
    float most = 0;
    for (float s : samples) most = std::max(most, std::fabs(s));
    return most;
  }

  HMUSIC loadModule(const std::string& bytes) {
    data = bytes;
    return BASS_MusicLoad(TRUE, data.data(), 0, data.size(), 0x428200, 0);
  }
  HSTREAM loadStream(const std::string& bytes) {
    data = bytes;
    return BASS_StreamCreateFile(TRUE, data.data(), 0, data.size(), 0);
  }

  std::string data;  // the bytes a channel plays from
};

// Two samples; notes on rows 0 (sample 1, volume 32 by effect C), 2 (no
// sample: the channel's last, sample 1), 3 (sample 2 without a note: no
// trigger), 4 (sample 2, one octave up) and, in pattern 1, row 0 (sample 2).
TinyMod twoInstrumentModule() {
  TinyMod mod;
  mod.samples = {TinyMod::Sample{}, TinyMod::Sample{2048, 48, 16}};
  mod.patternCount = 2;
  mod.orders = {0, 1};
  mod.cells = {
      {0, 0, 0, 1, 428, 0xC, 0x20},
      {0, 2, 0, 0, 428},
      {0, 3, 2, 2, 0},
      {0, 4, 1, 2, 214},
      {1, 0, 3, 2, 428},
  };
  return mod;
}

}  // namespace

TEST_F(SoundLibrary, EachLoaderTakesOnlyItsOwnKindOfData) {
  const std::string module = twoInstrumentModule().bytes();
  const std::string wav = sineWav(kRate, 1, 4410, 440, 0.5);
  struct Case {
    const char* name;
    std::string bytes;
    bool stream, music;
  } cases[] = {
      {"module", module, false, true},
      {"wav", wav, true, false},
      {"noise", std::string(3000, '\x5a'), false, false},
      {"truncated wav", wav.substr(0, 20), false, false},
      // The highest rate recordings use loads; a damaged header's rate, far
      // above it, is refused rather than given to the converter.
      {"wav at 768 kHz", sineWav(768000, 2, 4410, 440, 0.5), true, false},
      {"wav claiming 14 MHz", sineWav(13937732, 2, 4410, 440, 0.5), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HSTREAM stream = loadStream(c.bytes);
    EXPECT_EQ(stream != 0, c.stream);
    if (stream) {
      EXPECT_TRUE(BASS_StreamFree(stream));
    } else {
      EXPECT_EQ(BASS_ErrorGetCode(), (DWORD)BASS_ERROR_FORMAT);
    }
    HMUSIC music = loadModule(c.bytes);
    EXPECT_EQ(music != 0, c.music);
    if (music) {
      EXPECT_TRUE(BASS_MusicFree(music));
    } else {
      EXPECT_EQ(BASS_ErrorGetCode(), (DWORD)BASS_ERROR_FORMAT);
    }
  }
  EXPECT_EQ(sound_test::channelCount(), 0);
}

TEST_F(SoundLibrary, HandlesAreCheckedAndFreedByTheirOwnKind) {
  HMUSIC music = loadModule(twoInstrumentModule().bytes());
  ASSERT_NE(music, 0u);
  EXPECT_FALSE(BASS_StreamFree(music));
  EXPECT_EQ(BASS_ErrorGetCode(), (DWORD)BASS_ERROR_HANDLE);
  EXPECT_FALSE(BASS_ChannelPlay(music + 1000, FALSE));
  EXPECT_EQ(BASS_ErrorGetCode(), (DWORD)BASS_ERROR_HANDLE);
  float spectrum[1024];
  EXPECT_EQ(BASS_ChannelGetData(0, spectrum, BASS_DATA_FFT2048), (DWORD)-1);
  EXPECT_EQ(BASS_ChannelSetSync(0, BASS_SYNC_MUSICINST, 1, recordTrigger, nullptr), 0u);
  EXPECT_TRUE(BASS_MusicFree(music));
  EXPECT_FALSE(BASS_MusicFree(music));
}

TEST_F(SoundLibrary, InitialisesOnceUntilFreedAndFreeingDropsEveryChannel) {
  EXPECT_FALSE(BASS_Init(1, kRate, 0, nullptr, nullptr));
  EXPECT_EQ(BASS_ErrorGetCode(), (DWORD)BASS_ERROR_ALREADY);
  ASSERT_NE(loadModule(twoInstrumentModule().bytes()), 0u);
  ASSERT_NE(loadStream(sineWav(kRate, 1, 100, 440, 0.5)), 0u);
  EXPECT_EQ(sound_test::channelCount(), 2);
  EXPECT_TRUE(BASS_Free());
  EXPECT_EQ(sound_test::channelCount(), 0);
  EXPECT_FALSE(BASS_Free());
  EXPECT_EQ(loadModule(twoInstrumentModule().bytes()), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), (DWORD)BASS_ERROR_INIT);
  EXPECT_TRUE(BASS_Init(1, kRate, 0, nullptr, nullptr));
}

TEST_F(SoundLibrary, PlaysUntilStoppedAndAStreamStopsAtItsEnd) {
  HSTREAM stream = loadStream(sineWav(kRate, 1, 3000, 440, 0.5));
  ASSERT_NE(stream, 0u);
  EXPECT_EQ(peak(mix(1000)), 0.0f) << "nothing plays before ChannelPlay";
  ASSERT_TRUE(BASS_ChannelPlay(stream, FALSE));
  EXPECT_NEAR(peak(mix(1000)), 0.5f, 0.01f);
  EXPECT_TRUE(BASS_Stop());
  EXPECT_EQ(peak(mix(1000)), 0.0f);
  ASSERT_TRUE(BASS_ChannelPlay(stream, FALSE));  // resumes where it stopped
  std::vector<float> rest = mix(4000);
  EXPECT_GT(peak(std::vector<float>(rest.begin(), rest.begin() + 2 * 1900)), 0.4f);
  EXPECT_EQ(peak(std::vector<float>(rest.begin() + 2 * 2100, rest.end())), 0.0f);
  ASSERT_TRUE(BASS_ChannelPlay(stream, TRUE));  // from the beginning again
  EXPECT_NEAR(peak(mix(1000)), 0.5f, 0.01f);
}

TEST_F(SoundLibrary, InstrumentSyncsFireAtTheRowsThatPlayTheirNotes) {
  HMUSIC music = loadModule(twoInstrumentModule().bytes());
  ASSERT_NE(music, 0u);
  // 0: sample 1, any note; 1: sample 2, any note; 2: sample 2, only the
  // note one octave above the middle C (72).
  ASSERT_NE(BASS_ChannelSetSync(music, BASS_SYNC_MUSICINST, 0xFFFFFFFFFFFF0001ull, recordTrigger,
                                (void*)0),
            0u);
  ASSERT_NE(BASS_ChannelSetSync(music, BASS_SYNC_MUSICINST, 0xFFFF0002ull, recordTrigger, (void*)1),
            0u);
  ASSERT_NE(
      BASS_ChannelSetSync(music, BASS_SYNC_MUSICINST, (72u << 16) | 2, recordTrigger, (void*)2),
      0u);
  ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
  mix(6 * kRowFrames);
  struct Expected {
    int sync, note, volume, row;
  } expected[] = {{0, 60, 32, 0}, {0, 60, 64, 2}, {1, 72, 64, 4}, {2, 72, 64, 4}};
  ASSERT_EQ(triggers().size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(triggers()[i].sync, expected[i].sync);
    EXPECT_EQ(triggers()[i].note, expected[i].note);
    EXPECT_EQ(triggers()[i].volume, expected[i].volume);
    // Reported in the render call that reaches the row (or the next one).
    EXPECT_NEAR(triggers()[i].frame, (long)expected[i].row * kRowFrames, 256);
  }
}

TEST_F(SoundLibrary, SyncsAreOnlyForModules) {
  HSTREAM stream = loadStream(sineWav(kRate, 1, 100, 440, 0.5));
  EXPECT_EQ(BASS_ChannelSetSync(stream, BASS_SYNC_MUSICINST, 1, recordTrigger, nullptr), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), (DWORD)BASS_ERROR_ILLTYPE);
}

TEST_F(SoundLibrary, ModulePositionsAreOrderAndRow) {
  HMUSIC music = loadModule(twoInstrumentModule().bytes());
  ASSERT_NE(BASS_ChannelSetSync(music, BASS_SYNC_MUSICINST, 0xFFFF0001ull, recordTrigger, (void*)1),
            0u);
  ASSERT_NE(BASS_ChannelSetSync(music, BASS_SYNC_MUSICINST, 0xFFFF0002ull, recordTrigger, (void*)2),
            0u);
  ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
  struct Case {
    QWORD position;
    bool accepted;
    int sync;  // the sync that the first render after the seek fires; 0: none
  } cases[] = {
      {(4u << 16) | 0, true, 2},  // order 0, row 4
      {(0u << 16) | 1, true, 2},  // order 1, row 0 (pattern 1)
      {0, true, 1},               // back to the start: row 0 plays again
      {(3u << 16) | 0, true, 0},  // a row without notes
      {(64u << 16) | 0, false, 0},
      {2, false, 0},                      // order past the end
      {0xFFFFFFFF80000000ull, false, 0},  // row 0x8000, widened with its sign
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.position);
    triggers().clear();
    EXPECT_EQ(BASS_ChannelSetPosition(music, c.position) != 0, c.accepted);
    if (!c.accepted) {
      EXPECT_EQ(BASS_ErrorGetCode(), (DWORD)BASS_ERROR_POSITION);
      continue;
    }
    mix(256);
    ASSERT_EQ(triggers().size(), c.sync ? 1u : 0u);
    if (c.sync) {
      EXPECT_EQ(triggers()[0].sync, c.sync);
    }
  }
}

TEST_F(SoundLibrary, StreamPositionsAreBytesOfSixteenBitFrames) {
  // A stereo ramp: frame i holds i / 32767 in both channels.
  std::string wav = sineWav(kRate, 2, 3000, 0, 0);
  for (int i = 0; i < 3000; ++i)
    for (int c = 0; c < 2; ++c) {
      wav[44 + 4 * i + 2 * c] = (char)(i & 0xFF);
      wav[44 + 4 * i + 2 * c + 1] = (char)(i >> 8);
    }
  HSTREAM stream = loadStream(wav);
  ASSERT_TRUE(BASS_ChannelPlay(stream, FALSE));
  EXPECT_TRUE(BASS_ChannelSetPosition(stream, 4 * 1234));
  std::vector<float> out = mix(2);
  EXPECT_FLOAT_EQ(out[0], 1234 / 32768.0f);
  EXPECT_FLOAT_EQ(out[3], 1235 / 32768.0f);
  EXPECT_FALSE(BASS_ChannelSetPosition(stream, 4 * 3001));
  EXPECT_EQ(BASS_ErrorGetCode(), (DWORD)BASS_ERROR_POSITION);
}

// A stream plays at the mixing rate for as long as its file says, whatever
// its rate, channels and sample format: a tone that begins 3 s into the file
// begins where that frame falls at 44100 Hz (no frame is lost from block to
// block), and sounds up to the file's last frame.
TEST_F(SoundLibrary, StreamsKeepTheirTimingAtEveryRateAndSampleFormat) {
  struct Case {
    const char* name;
    int rate, channels, bits;
    bool isFloat;
  } cases[] = {
      {"8-bit mono at 8 kHz", 8000, 1, 8, false},
      {"8-bit mono at 8287 Hz", 8287, 1, 8, false},
      {"16-bit stereo at 11025 Hz", 11025, 2, 16, false},
      {"24-bit mono at 22050 Hz", 22050, 1, 24, false},
      {"32-bit mono at 32 kHz", 32000, 1, 32, false},
      {"16-bit mono at 44.1 kHz", 44100, 1, 16, false},
      {"float stereo at 48 kHz", 48000, 2, 32, true},
      {"16-bit, six channels, at 48 kHz", 48000, 6, 16, false},
      {"16-bit mono at 96 kHz", 96000, 1, 16, false},
  };
  const long onset = 3 * kRate, end = 7 * kRate / 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HSTREAM stream = loadStream(
        toneWav(c.rate, c.channels, c.rate * 7 / 2, c.bits, c.isFloat, c.rate * 3, 441, 0.5));
    ASSERT_NE(stream, 0u);
    ASSERT_TRUE(BASS_ChannelPlay(stream, FALSE));
    const std::vector<float> out = mix(4 * kRate, 1024);
    const float loudest = peak(out);
    if (c.channels <= 2) {
      EXPECT_NEAR(loudest, 0.5f, 0.02f);
    }
    ASSERT_GT(loudest, 0.05f);
    // 100 frames to a cycle: the sine first passes half its amplitude a
    // twelfth of a cycle in, and does so last within the final cycle.
    long first = -1, last = -1;
    for (long i = 0; i < (long)out.size() / 2; ++i) {
      if (std::fabs(out[2 * i]) < loudest / 2 && std::fabs(out[2 * i + 1]) < loudest / 2) continue;
      if (first < 0) first = i;
      last = i;
    }
    EXPECT_GE(first, onset) << "the tone began early";
    EXPECT_LE(first, onset + 20) << "the tone began late";
    EXPECT_GE(last, end - 100) << "the end of the stream was not played";
    EXPECT_LE(last, end + 4);
    BASS_StreamFree(stream);
  }
}

// A module plays its order list once and stops at its end. A position jump
// is followed wherever it leads: a song that jumps back plays on for ever.
TEST_F(SoundLibrary, ModulesStopAtTheirEndAndLoopThroughJumpsBack) {
  struct Case {
    const char* name;
    int effect;  // on row 1 of the only order
    bool loops;
  } cases[] = {
      {"a pattern break on the last order ends the song", 0xD, false},
      {"a position jump back to the first order loops it", 0xB, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Two rows a pass: a note of sample 1 (looped, so it sounds until
    // stopped), then the break or jump.
    TinyMod mod;
    mod.cells = {{0, 0, 0, 1, 428}, {0, 1, 1, 0, 0, c.effect, 0}};
    HMUSIC music = loadModule(mod.bytes());
    ASSERT_NE(music, 0u);
    ASSERT_NE(
        BASS_ChannelSetSync(music, BASS_SYNC_MUSICINST, 0xFFFF0001ull, recordTrigger, (void*)1),
        0u);
    ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
    triggers().clear();
    gFramesMixed = 0;
    const int passes = 10;
    mix(passes * 2 * kRowFrames);
    const float lastRow = peak(mix(kRowFrames));
    if (c.loops) {
      ASSERT_EQ(triggers().size(), (size_t)passes + 1);
      for (size_t i = 0; i < triggers().size(); ++i)
        EXPECT_NEAR(triggers()[i].frame, (long)i * 2 * kRowFrames, 256) << i;
      EXPECT_GT(lastRow, 0.1f);
    } else {
      EXPECT_EQ(triggers().size(), 1u) << "the song's start played again at its end";
      EXPECT_EQ(lastRow, 0.0f);
    }
    BASS_MusicFree(music);
  }
}

TEST_F(SoundLibrary, SpectrumOfASineCentredOnABand) {
  // Band 40 is 40 * 44100 / 2048 Hz. The rate of the file and its channel
  // count do not matter: streams are converted to the mixing rate.
  const double frequency = 40.0 * kRate / 2048;
  struct Case {
    int rate, channels;
    float tolerance;
  } cases[] = {{kRate, 1, 0.002f}, {22050, 2, 0.02f}, {48000, 1, 0.02f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    HSTREAM stream = loadStream(sineWav(c.rate, c.channels, c.rate, frequency, 0.5));
    ASSERT_NE(stream, 0u);
    float spectrum[1024];
    ASSERT_EQ(BASS_ChannelGetData(stream, spectrum, BASS_DATA_FFT2048), 4096u);
    EXPECT_EQ(*std::max_element(spectrum, spectrum + 1024), 0.0f) << "nothing played yet";
    ASSERT_TRUE(BASS_ChannelPlay(stream, FALSE));
    mix(4096);
    ASSERT_EQ(BASS_ChannelGetData(stream, spectrum, BASS_DATA_FFT2048), 4096u);
    EXPECT_NEAR(spectrum[40], 0.5f, c.tolerance);
    // The Hann window spreads half the amplitude to each neighbour, and
    // nothing further.
    EXPECT_NEAR(spectrum[39], 0.25f, c.tolerance);
    EXPECT_NEAR(spectrum[41], 0.25f, c.tolerance);
    for (int k : {0, 10, 37, 43, 100, 1023}) EXPECT_LT(spectrum[k], 0.01f) << k;
    BASS_StreamFree(stream);
  }
}

TEST(SoundDevice, OpensTheSystemsOutputAndFailsWithoutADriver) {
  // The test environment selects SDL's dummy driver: a device that consumes
  // the mix in real time.
  const char* driver = std::getenv("SDL_AUDIODRIVER");
  const std::string saved = driver ? driver : "";
  ASSERT_TRUE(BASS_Init(1, kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
  std::string module = twoInstrumentModule().bytes();
  HMUSIC music = BASS_MusicLoad(TRUE, module.data(), 0, module.size(), 0, 0);
  EXPECT_TRUE(BASS_ChannelPlay(music, FALSE));
  EXPECT_TRUE(BASS_Free());

  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  EXPECT_FALSE(BASS_Init(1, kRate, 0, nullptr, nullptr));
  EXPECT_EQ(BASS_ErrorGetCode(), (DWORD)BASS_ERROR_DRIVER);
  EXPECT_FALSE(sound_test::initialised());
  if (driver)
    setenv("SDL_AUDIODRIVER", saved.c_str(), 1);
  else
    unsetenv("SDL_AUDIODRIVER");
}

namespace {

std::mutex gHeardLock;
std::condition_variable gHeard;
std::vector<std::thread::id> gHeardOn;

void recordHeard(HSYNC, DWORD, DWORD, void*) {
  std::lock_guard<std::mutex> guard(gHeardLock);
  gHeardOn.push_back(std::this_thread::get_id());
  gHeard.notify_all();
}

}  // namespace

// With a device, the syncs of a block are delivered once the output plays
// it, from the library's own thread.
TEST(SoundDevice, SyncsArriveFromTheLibrarysThread) {
  ASSERT_TRUE(BASS_Init(1, kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
  ASSERT_TRUE(sound_test::outputOpen());
  const std::string module = twoInstrumentModule().bytes();
  HMUSIC music = BASS_MusicLoad(TRUE, module.data(), 0, module.size(), 0, 0);
  ASSERT_NE(music, 0u);
  {
    std::lock_guard<std::mutex> guard(gHeardLock);
    gHeardOn.clear();
  }
  ASSERT_NE(BASS_ChannelSetSync(music, BASS_SYNC_MUSICINST, 0xFFFF0001ull, recordHeard, nullptr),
            0u);
  ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
  bool heard;
  {
    // Row 0 is heard a buffer or so after the device starts; the wait only
    // bounds a broken delivery.
    std::unique_lock<std::mutex> guard(gHeardLock);
    heard = gHeard.wait_for(guard, std::chrono::seconds(20), [] { return !gHeardOn.empty(); });
  }
  EXPECT_TRUE(BASS_Free());
  ASSERT_TRUE(heard);
  std::lock_guard<std::mutex> guard(gHeardLock);
  EXPECT_NE(gHeardOn[0], std::this_thread::get_id());
}

namespace {

// A file installed by a Debian data package, or "" when it is not there.
std::string installedFile(const char* path) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return "";
  std::string bytes;
  char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
  std::fclose(file);
  return bytes;
}

}  // namespace

// An XM from a game's data: instruments proper (not sample numbers), a
// key-off in the first row, and note volumes from the volume column.
TEST_F(SoundLibrary, RealModuleReportsItsInstrumentNotesAndVolumes) {
  const char* path = "/usr/share/games/ballz/finalman-quickie.xm";
  const std::string bytes = installedFile(path);
  if (bytes.empty()) GTEST_SKIP() << path << " is not installed (package ballz-data)";
  EXPECT_EQ(loadStream(bytes), 0u) << "a module must not pass for a stream";
  HMUSIC music = loadModule(bytes);
  ASSERT_NE(music, 0u);
  ASSERT_NE(BASS_ChannelSetSync(music, BASS_SYNC_MUSICINST, 0xFFFF0001ull, recordTrigger, (void*)1),
            0u);
  ASSERT_TRUE(BASS_ChannelPlay(music, FALSE));
  mix(kRate);
  ASSERT_GE(triggers().size(), 4u);
  // The first rows of its eighth channel: C, D, E, F of octave 4 (notes 48 to
  // 53), with volumes 64 down to 16.
  struct Expected {
    int note, volume;
  } expected[] = {{48, 64}, {50, 48}, {52, 32}, {53, 16}};
  for (size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(triggers()[i].note, expected[i].note);
    EXPECT_EQ(triggers()[i].volume, expected[i].volume);
  }
  EXPECT_LT(triggers()[1].frame, triggers()[2].frame);
}

TEST_F(SoundLibrary, RealVorbisStreamPlays) {
  const char* path = "/usr/share/sounds/freedesktop/stereo/bell.oga";
  const std::string bytes = installedFile(path);
  if (bytes.empty()) GTEST_SKIP() << path << " is not installed (package sound-theme-freedesktop)";
  HSTREAM stream = loadStream(bytes);
  ASSERT_NE(stream, 0u);
  ASSERT_TRUE(BASS_ChannelPlay(stream, FALSE));
  EXPECT_GT(peak(mix(kRate / 2)), 0.05f);
  // The bell rings for about 1.5 s, then the stream ends and stops.
  mix(10 * kRate);
  EXPECT_EQ(peak(mix(kRate)), 0.0f);
}
