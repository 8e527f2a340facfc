// The sound library the engine plays its music through: one output device,
// channels made from sampled streams (wav, ogg, flac, mp3, ...) or tracker
// modules (mod, xm, s3m, it) held in memory, instrument syncs on modules and
// an FFT of what a channel last played.
//
// Everything is mixed at 44100 Hz, stereo, in floats. Streams are decoded by
// libsndfile and resampled to that rate by libsamplerate (a stream plays
// for exactly as long as its file says), modules are rendered by libopenmpt,
// and the mix goes to an SDL2 audio device (SDL converts it to whatever the
// device wants). The mixer renders modules in small blocks and, whenever a
// module reaches a new row, reads that row's notes: a note played with an
// instrument that a sync watches calls the sync's function when the output
// plays that row, not when it is mixed (the device's buffer lies between
// the two).
//
// A sync function runs on the library's delivery thread while it holds the
// library's lock: it may call the library but must not create or free
// channels, nor free the library.
//
// Calls answer 0 (or FALSE, or -1 where a count is answered) on failure and
// leave the reason for BASS_ErrorGetCode.
#pragma once

#include <cstdint>

#include "platform/win32/Win32.h"

typedef uint64_t QWORD;
typedef DWORD HSTREAM;  // a stream channel
typedef DWORD HMUSIC;   // a module channel
typedef DWORD HSYNC;    // a sync on a channel

// The function a sync calls: the sync, its channel, the event's data and the
// value given when the sync was set.
typedef void (*SYNCPROC)(HSYNC handle, DWORD channel, DWORD data, void* user);

// Module load flags. They describe how the module is to be played; the
// renderer always ramps volumes, resets the notes on a position change and
// knows the module's length up front, so all are accepted and none changes
// anything. A module plays its order list once and stops at its end; a
// position jump is followed wherever it leads, so a song that jumps back
// to an order it has played loops for ever.
#define BASS_MUSIC_RAMP 0x200
#define BASS_MUSIC_POSRESET 0x8000
#define BASS_MUSIC_PRESCAN 0x20000
#define BASS_MUSIC_POSRESETEX 0x400000

// Sync types. BASS_SYNC_MUSICINST: called whenever the module plays a note
// with an instrument. The parameter holds the instrument in its low word (as
// numbered in the module's patterns, from 1) and the note to watch in its
// high word (0xFFFF: every note). The data passed to the function holds the
// note in its low word (0 = C-0, 12 per octave) and the volume the note
// starts with in its high word (0 to 64).
#define BASS_SYNC_MUSICINST 1

// Channel data requests. BASS_DATA_FFT2048: 1024 floats, the magnitudes of
// a Hann-windowed FFT of the channel's 2048 frames up to what the output
// plays now (left and right averaged); index k is the band of
// k * 44100 / 2048 Hz, and a sine of amplitude A centred on a band reads A
// there.
#define BASS_DATA_FFT2048 0x80000002

// Error codes.
enum {
  BASS_OK = 0,
  BASS_ERROR_INIT = 1,      // not initialised
  BASS_ERROR_ALREADY = 2,   // already initialised
  BASS_ERROR_DEVICE = 3,    // no such device
  BASS_ERROR_DRIVER = 4,    // the output could not be opened
  BASS_ERROR_HANDLE = 5,    // not a valid handle
  BASS_ERROR_FORMAT = 6,    // data in no format the library plays
  BASS_ERROR_POSITION = 7,  // position outside the channel
  BASS_ERROR_ILLTYPE = 8,   // a sync or data type the channel does not offer
  BASS_ERROR_ILLPARAM = 9,  // an argument out of range
  BASS_ERROR_MEM = 10,      // out of memory
};

// Output devices: 1 is the system's default output. An open output is
// closed when the process exits, before the globals that existed at the
// first BASS_Init are destroyed.
BOOL BASS_Init(int device, DWORD freq, DWORD flags, HWND window, const void* guid);
// Frees the output and every channel; BASS_Init may follow.
BOOL BASS_Free();
// Stops the output: nothing is mixed until a channel is played again.
BOOL BASS_Stop();
DWORD BASS_ErrorGetCode();

// From memory only (`mem` TRUE): the `length` bytes at `file` + `offset`,
// which must stay valid until the channel is freed.
HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags);
HMUSIC BASS_MusicLoad(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags,
                      DWORD freq);
BOOL BASS_StreamFree(HSTREAM handle);
BOOL BASS_MusicFree(HMUSIC handle);

// Decodes the first part of the channel ahead so that playing starts at once.
BOOL BASS_ChannelPreBuf(DWORD handle, DWORD length);
// Starts (or resumes) the channel and the output; `restart` TRUE plays it
// from its beginning.
BOOL BASS_ChannelPlay(DWORD handle, BOOL restart);
// A module's position: order in the low 16 bits, row in the next 16 (the
// start of that row). A stream's position: a byte offset into its 16-bit
// samples at its own rate (4 bytes per frame in stereo).
BOOL BASS_ChannelSetPosition(DWORD handle, QWORD position);
HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC proc, void* user);
// Answers the number of bytes written to `buffer` (4096 for an FFT of 2048),
// or -1.
DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length);

// Hooks for tests. Not used by the engine itself.
namespace sound_test {

// When set, BASS_Init opens no audio device: the mixer runs only when a test
// calls render(), so what it plays does not depend on real time. Unless the
// test drives the play position, the output plays each block as soon as it
// is mixed.
void setManualOutput(bool manual);

// Mixes the next `frames` frames of every playing channel into `out`
// (interleaved stereo), as the device's callback does, and delivers the
// syncs that the play position has reached.
void render(float* out, int frames);

// With a manual output: whether the play position is the test's own, set by
// setPlayPosition (from 0 at BASS_Init), rather than the end of the mix.
// Cleared by setManualOutput(false).
void drivePlayPosition(bool driven);
// The mix frame the output plays now: syncs up to it are delivered on the
// calling thread, and the spectrum ends there. It never goes back nor past
// what was mixed.
void setPlayPosition(int64_t frame);
// Frames mixed since BASS_Init.
int64_t mixedFrames();

// Whether an audio device is open (its callback may run).
bool outputOpen();

// Whether the library is initialised, how often BASS_Init has succeeded
// since the process started, and how many channels exist.
bool initialised();
int initCount();
int channelCount();

}  // namespace sound_test
