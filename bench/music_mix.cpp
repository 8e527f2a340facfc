// The sound library's costs on the audio thread and per frame: mixing one
// device block of a module (rows read for instrument syncs) or of a stream
// (decoded and converted), and fetching the spectrum.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/sound/Sound.h"
#include "tests/SoundFixtures.h"

namespace {

constexpr int kBlock = 1024;  // frames the device asks for at a time

// Four channels with a note on every row, two instruments bound.
std::string busyModule() {
  TinyMod mod;
  mod.samples = {TinyMod::Sample{}, TinyMod::Sample{2048, 48, 16}};
  for (int row = 0; row < 64; ++row)
    for (int channel = 0; channel < 4; ++channel)
      mod.cells.push_back({0, row, channel, 1 + (row + channel) % 2, channel % 2 ? 214 : 428});
  return mod.bytes();
}

void onSync(HSYNC, DWORD, DWORD, void* user) { ++*static_cast<int*>(user); }

void mixBlocks(benchmark::State& state, DWORD channel) {
  std::vector<float> out(kBlock * 2);
  int blocks = 0;
  for (auto _ : state) {
    sound_test::render(out.data(), kBlock);
    benchmark::DoNotOptimize(out.data());
    // Start again before the end so that every block has sound to mix.
    if (++blocks % 40 == 0) BASS_ChannelPlay(channel, TRUE);
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
  state.counters["x_realtime"] = benchmark::Counter(
      double(kBlock) / 44100.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_MixModuleBlock(benchmark::State& state) {
  sound_test::setManualOutput(true);
  BASS_Init(1, 44100, 0, nullptr, nullptr);
  const std::string bytes = busyModule();
  HMUSIC music = BASS_MusicLoad(TRUE, bytes.data(), 0, bytes.size(), 0x428200, 0);
  int fired = 0;
  BASS_ChannelSetSync(music, BASS_SYNC_MUSICINST, 0xFFFF0001ull, onSync, &fired);
  BASS_ChannelSetSync(music, BASS_SYNC_MUSICINST, 0xFFFF0002ull, onSync, &fired);
  BASS_ChannelPlay(music, FALSE);
  mixBlocks(state, music);
  BASS_Free();
}
BENCHMARK(BM_MixModuleBlock);

void BM_MixStreamBlockResampled(benchmark::State& state) {
  sound_test::setManualOutput(true);
  BASS_Init(1, 44100, 0, nullptr, nullptr);
  const std::string bytes = sineWav(48000, 2, 48000, 440, 0.5);
  HSTREAM stream = BASS_StreamCreateFile(TRUE, bytes.data(), 0, bytes.size(), 0);
  BASS_ChannelPlay(stream, FALSE);
  mixBlocks(state, stream);
  BASS_Free();
}
BENCHMARK(BM_MixStreamBlockResampled);

void BM_FetchSpectrum(benchmark::State& state) {
  sound_test::setManualOutput(true);
  BASS_Init(1, 44100, 0, nullptr, nullptr);
  const std::string bytes = sineWav(44100, 1, 44100, 440, 0.5);
  HSTREAM stream = BASS_StreamCreateFile(TRUE, bytes.data(), 0, bytes.size(), 0);
  BASS_ChannelPlay(stream, FALSE);
  std::vector<float> out(4096 * 2);
  sound_test::render(out.data(), 4096);
  float spectrum[1024];
  for (auto _ : state) {
    BASS_ChannelGetData(stream, spectrum, BASS_DATA_FFT2048);
    benchmark::DoNotOptimize(spectrum);
  }
  BASS_Free();
}
BENCHMARK(BM_FetchSpectrum);

}  // namespace

BENCHMARK_MAIN();
