#include "scriptapi/Music.h"

#include <angelscript.h>

#include <cmath>
#include <cstdio>

#include "core/DemoState.h"
#include "core/Log.h"
#include "core/TQDatabase.h"
#include "core/TQSmartPointer.h"
#include "platform/sound/Sound.h"
#include "platform/win32/Win32.h"
#include "scriptapi/Binding.h"

using namespace AngelScript;

bool gBassReady = false;
uint32_t gMusicChannel = 0;
int gMusicIsStream = 0;
std::vector<char> gMusicFileData;
MusicSyncSlot gMusicSyncSlots[kMusicSyncSlots];
int gMusicSyncCount = 0;
float gSpectrum[kSpectrumValues] = {};
uint32_t gLastSpectrumTick = 0;

namespace {

constexpr DWORD kMusicLoadFlags =
    BASS_MUSIC_RAMP | BASS_MUSIC_POSRESET | BASS_MUSIC_PRESCAN | BASS_MUSIC_POSRESETEX;
// Calls within this many milliseconds of a fetch read the same spectrum, so
// the bands of one frame come from one FFT.
constexpr uint32_t kSpectrumInterval = 50;

// The handle the store attaches the handler's object to. The object (the
// int holding the channel) means nothing once the load has returned; the
// last handle deletes it, and the store counts a unique instance without
// handles as gone.
using MusicHandle = TQSmartPointer<int, DeleteDestruct<int>>;

// A 32-bit value widened to 64 bits with its sign, as the library reads
// positions and sync parameters.
QWORD widen(uint32_t value) { return (QWORD)(int64_t)(int32_t)value; }

// Called by the sound library, on its own thread, whenever a bound
// instrument plays; `user` is the slot's index.
void onMusicSync(HSYNC, DWORD, DWORD data, void* user) {
  MusicSyncSlot& slot = gMusicSyncSlots[(intptr_t)user];
  slot.lastTick = GetTickCount();
  slot.note = (int)(data & 0xFFFF);
  slot.volume = (int)(data >> 16);
}

}  // namespace

bool TQDataHandler_BassMusic::loadFromMemory(const char* data, std::int32_t size, void** object,
                                             std::string& error) {
  // The library plays from this copy for as long as the channel exists.
  gMusicFileData.assign(data, data + (size > 0 ? size : 0));
  const QWORD length = gMusicFileData.size();
  DWORD channel = BASS_StreamCreateFile(TRUE, gMusicFileData.data(), 0, length, 0);
  if (channel) {
    gMusicIsStream = 1;
  } else {
    channel = BASS_MusicLoad(TRUE, gMusicFileData.data(), 0, length, kMusicLoadFlags, 0);
    if (!channel) {
      error = "BASS load error";
      return false;
    }
    gMusicIsStream = 0;
  }
  *object = new int((int)channel);
  gMusicChannel = channel;
  return true;
}

bool TQDataHandler_BassMusic::saveToMemory(void* object, std::int32_t size, char** buffer,
                                           std::uint32_t* length, std::string& error) {
  return saveNothingToMemory(object, size, buffer, length, error);
}

void stopAndFreeMusic() {
  if (gMusicChannel) {
    BASS_Stop();
    if (gMusicIsStream)
      BASS_StreamFree(gMusicChannel);
    else
      BASS_MusicFree(gMusicChannel);
    std::vector<char>().swap(gMusicFileData);
    gMusicChannel = 0;
    BASS_Free();
    gBassReady = false;
  }
  // No sync runs after the library is freed.
  for (int i = 0; i < gMusicSyncCount; ++i) gMusicSyncSlots[i].lastTick = 0;
  gMusicSyncCount = 0;
}

// void startMusic(string &in)
void startMusic(const std::string* name) {
  const float demoTime = gCurrentTime;
  if (gMusicChannel) stopAndFreeMusic();
  if (!gBassReady) {
    if (!BASS_Init(1, 44100, 0, nullptr, nullptr)) {
      logMessage("TQScript - BASS_Init failed");
      return;
    }
    gBassReady = true;
  }
  {
    TQDataHandler_BassMusic handler;
    MusicHandle handle;
    std::string error;
    // A unique instance: every start reads the file anew and makes a channel.
    gDatabase->load(*name, handler, handle, kLoadUniqueInstance, error);
    if (!error.empty()) {
      char text[1024];
      snprintf(text, sizeof text, "Error loading music (%s) - Abort", name->c_str());
      fatalError(text);
    }
    BASS_ChannelPreBuf(gMusicChannel, 0);
    BASS_ChannelPlay(gMusicChannel, FALSE);
  }
  // The main loop re-anchors its clock at the end of the frame so that the
  // demo time goes on from this frame's time: loading cost no demo time.
  gTimeResyncRequest = true;
  gCurrentTime = demoTime;
}

// void stopMusic()
void stopMusic() {
  if (gMusicChannel) stopAndFreeMusic();
}

// void seekMusic(int,int)
void seekMusic(int order, int row) {
  if (!gMusicChannel) return;
  const uint32_t position = ((uint32_t)row & 0xFFFF) << 16 | ((uint32_t)order & 0xFFFF);
  if (!BASS_ChannelSetPosition(gMusicChannel, widen(position))) {
    printf(" error %d\n", (int)BASS_ErrorGetCode());
    fflush(stdout);
  }
}

// void musicSyncChannel(int)
void musicSyncChannel(int instrument) {
  if (!gMusicChannel) {
    logMessage("musicSyncChannel - cannot bind channel on non-started music.");
    return;
  }
  for (int i = 0; i < gMusicSyncCount; ++i)
    if (gMusicSyncSlots[i].instrument == instrument) return;
  // Every slot taken: the binding is not made (the instrument's queries then
  // report it as not bound).
  if (gMusicSyncCount >= kMusicSyncSlots) return;
  MusicSyncSlot& slot = gMusicSyncSlots[gMusicSyncCount];
  slot.lastTick = 0;
  slot.instrument = instrument;
  // The instrument in the low word, every note (0xFFFF) in the high word.
  const uint32_t param = ((uint32_t)instrument & 0xFFFF) | 0xFFFF0000u;
  BASS_ChannelSetSync(gMusicChannel, BASS_SYNC_MUSICINST, widen(param), onMusicSync,
                      (void*)(intptr_t)gMusicSyncCount);
  // Counted only once set: the sync thread reads slots by index.
  ++gMusicSyncCount;
}

// int musicChannelGetinfo(int &in,float &out,float &out,float &out)
int musicChannelGetinfo(const int* instrument, float* elapsed, float* note, float* volume) {
  // The outputs are the engine's temporaries, copied into the script's
  // variables after the call whatever it answers: without a trigger to
  // report they read 0 rather than whatever the temporaries held.
  *elapsed = *note = *volume = 0.0f;
  int found = -1;
  for (int i = 0; i < gMusicSyncCount; ++i)
    if (gMusicSyncSlots[i].instrument == *instrument) found = i;
  if (found < 0) {
    logMessage(
        "musicChannelGetElapsedTime - cannot find sync channel (missing musicSyncChannel in init?).");
    return 0;
  }
  const MusicSyncSlot& slot = gMusicSyncSlots[found];
  const uint32_t lastTick = slot.lastTick;
  if (lastTick == 0) return 0;
  *elapsed = (float)((uint32_t)(GetTickCount() - lastTick) * 0.001);
  *note = (float)slot.note;
  *volume = (float)slot.volume;
  return 1;
}

// float musicGetSpectrumInfo(int &in,int &in)
float musicGetSpectrumInfo(const int* band, const int* bands) {
  const uint32_t now = GetTickCount();
  if ((uint32_t)(now - gLastSpectrumTick) > kSpectrumInterval) {
    // Without music the call fails and the last spectrum stays.
    BASS_ChannelGetData(gMusicChannel, gSpectrum, BASS_DATA_FFT2048);
    gLastSpectrumTick = now;
  }
  // Band b of n covers the values after b/n of the spectrum up to and
  // including (b+1)/n of it. A band outside 0 to n - 1 is empty, and the
  // last band ends with the last value.
  if (*bands <= 0 || *band < 0 || *band >= *bands) return 0.0f;
  const int lo = (int)((float)*band / (float)*bands * (float)kSpectrumValues);
  int hi = (int)((float)(*band + 1) / (float)*bands * (float)kSpectrumValues);
  if (lo >= hi) return 0.0f;
  if (hi > kSpectrumValues - 1) hi = kSpectrumValues - 1;
  float sum = 0.0f;
  for (int i = lo + 1; i <= hi; ++i) sum += gSpectrum[i];
  return std::sqrt(sum);
}

int initMusic(asIScriptEngine* engine) {
  RegistrationSum r;
  r += engine->RegisterGlobalFunction("void startMusic(string &in)", asFUNCTION(startMusic),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void stopMusic()", asFUNCTION(stopMusic), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void seekMusic(int,int)", asFUNCTION(seekMusic),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction("void musicSyncChannel(int)", asFUNCTION(musicSyncChannel),
                                      asCALL_CDECL);
  r += engine->RegisterGlobalFunction(
      "int musicChannelGetinfo(int &in,float &out,float &out,float &out)",
      asFUNCTION(musicChannelGetinfo), asCALL_CDECL);
  r += engine->RegisterGlobalFunction("float musicGetSpectrumInfo(int &in,int &in)",
                                      asFUNCTION(musicGetSpectrumInfo), asCALL_CDECL);
  return finishRegistration(r, "TQScript - initMusic failed");
}
