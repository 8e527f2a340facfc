// Small music files written by the tests themselves: a four-channel MOD
// module with looping waveform samples and notes on chosen rows, and WAV
// streams of a sine.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// A ProTracker module ("M.K.", four channels, 64 rows per pattern). Samples
// are numbered from 1 in the cells; each is one cycle of a waveform repeated
// over its whole length and looped.
struct TinyMod {
  struct Cell {
    int pattern, row, channel;
    int sample;      // 0: none
    int period;      // 0: no note; 428 is C in the middle octave
    int effect = 0;  // effect letter as its number (0xC: set volume, 0xF: speed)
    int param = 0;
  };
  struct Sample {
    int length = 2048;  // bytes, even
    int volume = 64;
    int cycle = 32;  // bytes per cycle of the waveform
  };

  std::vector<Sample> samples{Sample{}};
  std::vector<int> orders{0};
  int patternCount = 1;
  std::vector<Cell> cells;

  std::string bytes() const {
    std::string out(20, '\0');
    out.replace(0, 4, "tiny");
    for (int i = 0; i < 31; ++i) {
      std::string header(30, '\0');
      if (i < (int)samples.size()) {
        const Sample& s = samples[i];
        put16(header, 22, s.length / 2);
        header[25] = (char)s.volume;
        put16(header, 26, 0);
        put16(header, 28, s.length / 2);  // loop the whole sample
      } else {
        put16(header, 28, 1);
      }
      out += header;
    }
    out += (char)orders.size();
    out += (char)127;
    std::string table(128, '\0');
    for (size_t i = 0; i < orders.size(); ++i) table[i] = (char)orders[i];
    out += table;
    out += "M.K.";
    std::string patterns((size_t)patternCount * 64 * 4 * 4, '\0');
    for (const Cell& c : cells) {
      size_t at = (((size_t)c.pattern * 64 + c.row) * 4 + c.channel) * 4;
      patterns[at] = (char)((c.sample & 0xF0) | ((c.period >> 8) & 0x0F));
      patterns[at + 1] = (char)(c.period & 0xFF);
      patterns[at + 2] = (char)(((c.sample & 0x0F) << 4) | (c.effect & 0x0F));
      patterns[at + 3] = (char)c.param;
    }
    out += patterns;
    for (const Sample& s : samples) {
      for (int i = 0; i < s.length; ++i)
        out += (char)(int8_t)std::lround(100.0 * std::sin(2.0 * M_PI * (i % s.cycle) / s.cycle));
    }
    return out;
  }

 private:
  static void put16(std::string& s, size_t at, int value) {
    s[at] = (char)((value >> 8) & 0xFF);
    s[at + 1] = (char)(value & 0xFF);
  }
};

// A 16-bit PCM WAV file of `frames` frames: in every channel a sine of
// `frequency` Hz and amplitude `amplitude` (of full scale).
inline std::string sineWav(int rate, int channels, int frames, double frequency, double amplitude) {
  std::string out;
  auto put = [&out](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += (char)((value >> (8 * i)) & 0xFF);
  };
  const uint32_t dataBytes = (uint32_t)frames * channels * 2;
  out += "RIFF";
  put(36 + dataBytes, 4);
  out += "WAVEfmt ";
  put(16, 4);
  put(1, 2);  // PCM
  put(channels, 2);
  put(rate, 4);
  put(rate * channels * 2, 4);
  put(channels * 2, 2);
  put(16, 2);
  out += "data";
  put(dataBytes, 4);
  for (int i = 0; i < frames; ++i) {
    const double value = amplitude * std::sin(2.0 * M_PI * frequency * i / rate);
    const int16_t sample = (int16_t)std::lround(value * 32767.0);
    for (int c = 0; c < channels; ++c) put((uint16_t)sample, 2);
  }
  return out;
}

// A WAV file of `frames` frames in any of the sample formats recordings
// use: `bits` 8 (unsigned), 16, 24 or 32 integer, or 32 with `isFloat`. Every
// channel holds silence up to frame `onset`, then a sine of `frequency` Hz
// and `amplitude` (of full scale) up to the end.
inline std::string toneWav(int rate, int channels, int frames, int bits, bool isFloat, int onset,
                           double frequency, double amplitude) {
  std::string out;
  auto put = [&out](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += (char)((value >> (8 * i)) & 0xFF);
  };
  const int bytesPerSample = bits / 8;
  const uint32_t dataBytes = (uint32_t)frames * channels * bytesPerSample;
  out += "RIFF";
  put(36 + dataBytes, 4);
  out += "WAVEfmt ";
  put(16, 4);
  put(isFloat ? 3 : 1, 2);  // IEEE float or PCM
  put(channels, 2);
  put(rate, 4);
  put(rate * channels * bytesPerSample, 4);
  put(channels * bytesPerSample, 2);
  put(bits, 2);
  out += "data";
  put(dataBytes, 4);
  for (int i = 0; i < frames; ++i) {
    const double value =
        i < onset ? 0.0 : amplitude * std::sin(2.0 * M_PI * frequency * (i - onset) / rate);
    uint32_t sample;
    if (isFloat) {
      const float f = (float)value;
      std::memcpy(&sample, &f, sizeof sample);
    } else if (bits == 8) {
      sample = (uint32_t)(128 + std::lround(value * 127.0));
    } else {
      const double scale = (double)((1u << (bits - 1)) - 1);
      sample = (uint32_t)(int32_t)std::lround(value * scale);
    }
    for (int c = 0; c < channels; ++c) put(sample, bytesPerSample);
  }
  return out;
}
