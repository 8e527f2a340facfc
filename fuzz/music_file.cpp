// Feeds arbitrary bytes to the sound library's loaders, as the music module
// hands them a music file: first as a stream (libsndfile: wav, ogg, flac,
// mp3, ...), then as a tracker module (libopenmpt: mod, xm, s3m, it). What
// loads is played for a while with an instrument sync set, moved, played
// again and its spectrum read, then freed. Malformed data must be refused
// without touching memory outside the input.
//
// The mixer runs by hand (no audio device), so every run mixes the same.
//
// Run:
//   cmake -S . -B build-fuzz -DENGINE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
//         -DCMAKE_C_COMPILER=clang -DENGINE_BENCH=OFF
//   cmake --build build-fuzz --target fuzz_music_file
//   mkdir -p build-fuzz/mcorpus && cp sample/music/tune.mod build-fuzz/mcorpus
//   cp -L /usr/share/sounds/freedesktop/stereo/phone-outgoing-calling.oga build-fuzz/mcorpus
//   build-fuzz/fuzz_music_file -max_len=65536 -timeout=20 build-fuzz/mcorpus
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/sound/Sound.h"

namespace {

int syncs = 0;
void countSync(HSYNC, DWORD, DWORD, void*) { ++syncs; }

void play(DWORD channel) {
  // About a tenth of a second, in blocks as the device would ask for them.
  std::vector<float> mix(2 * 1024);
  BASS_ChannelSetSync(channel, BASS_SYNC_MUSICINST, 0xFFFF0001u, countSync, nullptr);
  BASS_ChannelPreBuf(channel, 0);
  BASS_ChannelPlay(channel, TRUE);
  for (int i = 0; i < 4; ++i) sound_test::render(mix.data(), 1024);
  BASS_ChannelSetPosition(channel, 0x00020001u);  // order 1, row 2 (a byte offset on streams)
  for (int i = 0; i < 2; ++i) sound_test::render(mix.data(), 1024);
  float spectrum[1024];
  BASS_ChannelGetData(channel, spectrum, BASS_DATA_FFT2048);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sound_test::setManualOutput(true);
  if (!BASS_Init(1, 44100, 0, nullptr, nullptr)) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size: the library keeps reading it.
  std::vector<uint8_t> bytes(data, data + size);
  if (HSTREAM stream = BASS_StreamCreateFile(TRUE, bytes.data(), 0, bytes.size(), 0)) {
    play(stream);
    BASS_StreamFree(stream);
  }
  const DWORD flags =
      BASS_MUSIC_RAMP | BASS_MUSIC_POSRESET | BASS_MUSIC_PRESCAN | BASS_MUSIC_POSRESETEX;
  if (HMUSIC music = BASS_MusicLoad(TRUE, bytes.data(), 0, bytes.size(), flags, 0)) {
    play(music);
    BASS_MusicFree(music);
  }
  if (sound_test::channelCount() != 0) __builtin_trap();
  return 0;
}
