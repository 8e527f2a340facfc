// The music functions: one piece at a time, a sampled stream or a tracker
// module loaded through the resource store; seeking a module by order and
// row; syncs on a module's instruments; the loudness of a band of the
// current spectrum.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/TQDataHandler.h"

namespace AngelScript {
class asIScriptEngine;
}

// One instrument bound by musicSyncChannel. The sound library's thread writes
// the trigger fields while the main thread may read them; each field is
// written and read whole, so a reader sees every field from before or after
// a trigger (two fields may come from two triggers).
struct MusicSyncSlot {
  std::atomic<uint32_t> lastTick{0};  // tick count of the last trigger; 0: none since bound
  std::atomic<int> instrument{0};     // as the script gave it
  std::atomic<int> note{0};           // low word of the last trigger's data
  std::atomic<int> volume{0};         // high word of it
};

constexpr int kMusicSyncSlots = 128;
constexpr int kSpectrumValues = 1024;

// The module's state, shared by every scriplet for the whole run.
extern bool gBassReady;                   // the sound library is initialised
extern uint32_t gMusicChannel;            // the channel that plays; 0: none
extern int gMusicIsStream;                // 1: a stream, 0: a module (decides how it is freed)
extern std::vector<char> gMusicFileData;  // the bytes the channel plays from
extern MusicSyncSlot gMusicSyncSlots[kMusicSyncSlots];
extern int gMusicSyncCount;               // slots 0 to count - 1 are in use
extern float gSpectrum[kSpectrumValues];  // the last FFT magnitudes fetched
extern uint32_t gLastSpectrumTick;        // tick count of that fetch

// Turns a music file's bytes into a channel of the sound library: a stream
// when the library can stream them, else a tracker module. The object is a
// new int holding the channel; the module itself works with gMusicChannel.
class TQDataHandler_BassMusic : public TQDataHandler {
 public:
  bool loadFromMemory(const char* data, std::int32_t size, void** object,
                      std::string& error) override;
  bool saveToMemory(void* object, std::int32_t size, char** buffer, std::uint32_t* length,
                    std::string& error) override;
};

// Registers the six music functions. Logs "TQScript - initMusic failed" once
// when any registration is rejected. Returns the sum of the error codes.
int initMusic(AngelScript::asIScriptEngine* engine);

// The script functions, callable directly. musicChannelGetinfo answers 1
// with the seconds since the instrument's last trigger, its note and volume;
// 0 with all three outputs 0 when the instrument is not bound (logged) or
// has not sounded since it was bound.
void startMusic(const std::string* name);
void stopMusic();
void seekMusic(int order, int row);
void musicSyncChannel(int instrument);
int musicChannelGetinfo(const int* instrument, float* elapsed, float* note, float* volume);
float musicGetSpectrumInfo(const int* band, const int* bands);

// Stops and frees the music and the sound library, and forgets every
// instrument binding.
void stopAndFreeMusic();
