#include "platform/sound/Sound.h"

#include <SDL.h>
#include <kiss_fftr.h>
#include <libopenmpt/libopenmpt.h>
#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

constexpr int kFftSize = 2048;
// Frames of what each channel played that are kept for the spectrum: the
// FFT's window plus room for the mix to run ahead of what is heard (the
// device's buffers, a few tenths of a second at most).
constexpr int kHistoryFrames = 1 << 15;
// Frames a module renders between two looks at its row. The shortest row a
// module can have (tempo 255, speed 1) lasts about 430 frames at 44100 Hz, so
// no row goes unseen, and a trigger is placed within 1.5 ms of its row.
constexpr int kModuleBlock = 64;
// Frames a stream decodes at a time.
constexpr int kStreamBlock = 1024;
// The highest sampling rate a stream may have. Recordings go up to 768 kHz;
// a header that claims far more is damaged.
constexpr int kMaxStreamRate = 768000;

// What libopenmpt's pattern data holds for a note played (1 to 120) and the
// two ways a row sets the volume a note starts with.
constexpr int kLastNote = 120;
constexpr int kVolumeColumnSetVolume = 1;
constexpr int kEffectSetVolume = 13;
constexpr int kEffectPositionJump = 12;
constexpr int kFullVolume = 64;

thread_local DWORD gError = BASS_OK;

bool fail(DWORD code) {
  gError = code;
  return false;
}

struct Sync {
  HSYNC handle;
  int instrument;
  int note;  // 0xFFFF: every note
  SYNCPROC proc;
  void* user;
};

using Clock = std::chrono::steady_clock;

// A sync event of a mixed block, waiting to be delivered when the output
// plays the frame it belongs to.
struct PendingSync {
  int64_t frame;  // in the mix's frames since BASS_Init
  DWORD channel;
  Sync sync;
  DWORD data;
};

class Channel {
 public:
  explicit Channel(DWORD handle) : handle(handle) {}
  virtual ~Channel() {}
  virtual bool isStream() const = 0;
  // Writes up to `frames` stereo frames to `out`; fewer at the end. The
  // block begins at mix frame `start`; its sync events go to `events`.
  virtual int render(float* out, int frames, int64_t start, std::deque<PendingSync>& events) = 0;
  virtual bool setPosition(QWORD position) = 0;

  // Remembers what was played from mix frame `start` on, for the spectrum.
  // Frames the channel skipped (while it was not playing) read as silence.
  void keepHistory(int64_t start, const float* frames, int count) {
    for (int64_t f = std::max(historyEnd, start - kHistoryFrames); f < start; ++f)
      history[slot(f)] = 0.0f;
    for (int i = 0; i < count; ++i)
      history[slot(start + i)] = 0.5f * (frames[2 * i] + frames[2 * i + 1]);
    historyEnd = std::max(historyEnd, start + count);
  }
  // The mono sample of mix frame `frame`; silence outside what is kept.
  float historyAt(int64_t frame) const {
    if (frame < 0 || frame >= historyEnd || frame < historyEnd - kHistoryFrames) return 0.0f;
    return history[slot(frame)];
  }
  // Where a frame (never negative) lives in the history's ring.
  static size_t slot(int64_t frame) { return size_t(frame) & (kHistoryFrames - 1); }

  const DWORD handle;
  bool playing = false;
  bool ended = false;
  std::vector<Sync> syncs;
  std::vector<float> history = std::vector<float>(kHistoryFrames, 0.0f);
  int64_t historyEnd = 0;  // the mix frame after the last one kept
};

// A tracker module rendered by libopenmpt.
class ModuleChannel : public Channel {
 public:
  ModuleChannel(DWORD handle, openmpt_module* module) : Channel(handle), module(module) {
    instruments.assign((size_t)std::max(0, openmpt_module_get_num_channels(module)), 0);
    // At the song's end the renderer pauses (answers no frames) and goes on
    // from where the song loops when read again, rather than fading out.
    openmpt_module_ctl_set_text(module, "play.at_end", "continue");
  }
  ~ModuleChannel() override { openmpt_module_destroy(module); }
  bool isStream() const override { return false; }

  // A module plays to the end of its order list and stops there. A position
  // jump is followed wherever it leads, so a song that jumps back to an
  // order it has played loops for ever; the renderer reports such a jump as
  // the song's end too, and the row that played last tells the two apart.
  int render(float* out, int frames, int64_t start, std::deque<PendingSync>& events) override {
    int done = 0;
    bool resumed = false;  // read on past an end, with no frame since
    while (done < frames) {
      const int want = std::min(kModuleBlock, frames - done);
      const int got =
          (int)openmpt_module_read_interleaved_float_stereo(module, rate, want, out + 2 * done);
      if (got == 0) {
        if (resumed || !rowJumps(lastOrder, lastRow)) break;
        resumed = true;
        continue;
      }
      resumed = false;
      if (got < want) {
        // The song ended inside this block, and the position already names
        // where it would go on: that row has not begun.
        done += got;
        continue;
      }
      const int order = openmpt_module_get_current_order(module);
      const int row = openmpt_module_get_current_row(module);
      if (order != lastOrder || row != lastRow) {
        lastOrder = order;
        lastRow = row;
        // The row began in the small block just read.
        rowStarted(openmpt_module_get_current_pattern(module), row, start + done, events);
      }
      done += got;
    }
    return done;
  }

  bool setPosition(QWORD position) override {
    const int order = (int)(position & 0xFFFF);
    const int row = (int)((position >> 16) & 0xFFFF);
    if (order >= openmpt_module_get_num_orders(module)) return fail(BASS_ERROR_POSITION);
    const int pattern = openmpt_module_get_order_pattern(module, order);
    if (pattern < 0 || pattern >= openmpt_module_get_num_patterns(module) ||
        row >= openmpt_module_get_pattern_num_rows(module, pattern))
      return fail(BASS_ERROR_POSITION);
    openmpt_module_set_position_order_row(module, order, row);
    // The row seeked to is a new row: its notes are triggers.
    lastOrder = lastRow = -1;
    ended = false;
    return true;
  }

  int rate = 44100;

 private:
  // Reads the notes of a row that has just begun at mix frame `frame` and
  // queues the syncs they trigger. A note uses the instrument given with
  // it, or else the last one its channel had.
  void rowStarted(int pattern, int row, int64_t frame, std::deque<PendingSync>& events) {
    for (size_t c = 0; c < instruments.size(); ++c) {
      auto command = [&](int which) {
        return (int)openmpt_module_get_pattern_row_channel_command(module, pattern, row, (int)c,
                                                                   which);
      };
      const int instrument = command(OPENMPT_MODULE_COMMAND_INSTRUMENT);
      if (instrument) instruments[c] = instrument;
      const int note = command(OPENMPT_MODULE_COMMAND_NOTE);
      if (note < 1 || note > kLastNote || !instruments[c]) continue;
      int volume = kFullVolume;
      if (command(OPENMPT_MODULE_COMMAND_VOLUMEEFFECT) == kVolumeColumnSetVolume)
        volume = command(OPENMPT_MODULE_COMMAND_VOLUME);
      else if (command(OPENMPT_MODULE_COMMAND_EFFECT) == kEffectSetVolume)
        volume = command(OPENMPT_MODULE_COMMAND_PARAMETER);
      volume = std::min(volume, kFullVolume);
      for (const Sync& sync : syncs) {
        if (sync.instrument != instruments[c]) continue;
        if (sync.note != 0xFFFF && sync.note != note - 1) continue;
        events.push_back(
            PendingSync{frame, handle, sync, (DWORD)(note - 1) | ((DWORD)volume << 16)});
      }
    }
  }

  // Whether a row of the song (at an order of it) holds a position jump.
  bool rowJumps(int order, int row) const {
    if (order < 0 || order >= openmpt_module_get_num_orders(module)) return false;
    const int pattern = openmpt_module_get_order_pattern(module, order);
    if (pattern < 0 || pattern >= openmpt_module_get_num_patterns(module) || row < 0 ||
        row >= openmpt_module_get_pattern_num_rows(module, pattern))
      return false;
    for (size_t c = 0; c < instruments.size(); ++c)
      if (openmpt_module_get_pattern_row_channel_command(
              module, pattern, row, (int)c, OPENMPT_MODULE_COMMAND_EFFECT) == kEffectPositionJump)
        return true;
    return false;
  }

  openmpt_module* module;
  std::vector<int> instruments;  // the last instrument of each pattern channel
  int lastOrder = -1, lastRow = -1;
};

// A sampled stream decoded by libsndfile from memory, brought to stereo
// (SDL's channel mapping, for more than two channels) and resampled to the
// mixing rate by libsamplerate. The resampler keeps its phase from block to
// block and is flushed at the end of the data, so a stream plays for as
// long as its file says at any rate, and ends with its last frame.
class StreamChannel : public Channel {
 public:
  StreamChannel(DWORD handle, const char* data, sf_count_t size)
      : Channel(handle), data(data), size(size) {}
  ~StreamChannel() override {
    if (resampler) src_delete(resampler);
    if (mixdown) SDL_FreeAudioStream(mixdown);
    if (file) sf_close(file);
  }
  bool isStream() const override { return true; }

  bool open(int rate) {
    SF_VIRTUAL_IO io = {&StreamChannel::length, &StreamChannel::seek, &StreamChannel::read,
                        &StreamChannel::write, &StreamChannel::tell};
    std::memset(&info, 0, sizeof info);
    file = sf_open_virtual(&io, SFM_READ, &info, this);
    if (!file || info.channels < 1 || info.channels > 8 || info.samplerate < 1 ||
        info.samplerate > kMaxStreamRate)
      return false;
    ratio = (double)rate / info.samplerate;
    if (info.samplerate != rate) {
      // Rates so low that the converter cannot reach the mixing rate are
      // no recording's.
      if (!src_is_valid_ratio(ratio)) return false;
      int error = 0;
      resampler = src_new(SRC_SINC_MEDIUM_QUALITY, 2, &error);
      if (!resampler) return false;
    }
    if (info.channels > 2) {
      mixdown = SDL_NewAudioStream(AUDIO_F32SYS, (Uint8)info.channels, info.samplerate,
                                   AUDIO_F32SYS, 2, info.samplerate);
      if (!mixdown) return false;
    }
    return true;
  }

  int render(float* out, int frames, int64_t, std::deque<PendingSync>&) override {
    int done = 0;
    while (done < frames) {
      if (readyAt < readyFrames) {
        const int take = std::min(readyFrames - readyAt, frames - done);
        std::memcpy(out + 2 * done, ready.data() + 2 * readyAt, (size_t)take * 2 * sizeof(float));
        readyAt += take;
        done += take;
        continue;
      }
      if (finished) break;
      convert();
    }
    return done;
  }

  bool setPosition(QWORD position) override {
    const QWORD frame = position / (QWORD)(2 * info.channels);
    if (frame > (QWORD)info.frames || sf_seek(file, (sf_count_t)frame, SEEK_SET) < 0)
      return fail(BASS_ERROR_POSITION);
    if (resampler) src_reset(resampler);
    if (mixdown) SDL_AudioStreamClear(mixdown);
    stereoUsed = stereoFrames = readyAt = readyFrames = 0;
    sourceDone = finished = ended = false;
    return true;
  }

 private:
  // Fills `ready` with the next frames at the mixing rate.
  void convert() {
    if (stereoUsed == stereoFrames && !sourceDone) decode();
    readyAt = readyFrames = 0;
    const int pending = stereoFrames - stereoUsed;
    if (!resampler) {
      std::swap(ready, stereo);
      readyFrames = pending;
      stereoUsed = stereoFrames = 0;
      finished = sourceDone && pending == 0;
      return;
    }
    ready.resize((size_t)2 * kStreamBlock);
    SRC_DATA step{};
    step.data_in = stereo.data() + 2 * stereoUsed;
    step.input_frames = pending;
    step.data_out = ready.data();
    step.output_frames = kStreamBlock;
    step.end_of_input = sourceDone;
    step.src_ratio = ratio;
    if (src_process(resampler, &step) != 0) {
      finished = true;
      return;
    }
    stereoUsed += (int)step.input_frames_used;
    readyFrames = (int)step.output_frames_gen;
    // Flushed: everything taken in has come out.
    finished = sourceDone && stereoUsed == stereoFrames && readyFrames == 0;
  }

  // Decodes the next block of the file into `stereo`; at the end of the
  // data sets sourceDone.
  void decode() {
    stereoUsed = stereoFrames = 0;
    decoded.resize((size_t)kStreamBlock * info.channels);
    const sf_count_t got = sf_readf_float(file, decoded.data(), kStreamBlock);
    stereo.resize((size_t)2 * kStreamBlock);
    if (mixdown) {
      if (got > 0)
        SDL_AudioStreamPut(mixdown, decoded.data(), (int)(got * info.channels * sizeof(float)));
      else
        SDL_AudioStreamFlush(mixdown);
      stereoFrames =
          SDL_AudioStreamGet(mixdown, stereo.data(), (int)(stereo.size() * sizeof(float))) /
          (int)(2 * sizeof(float));
      stereoFrames = std::max(stereoFrames, 0);
      if (got <= 0 && stereoFrames == 0) sourceDone = true;
      return;
    }
    if (got <= 0) {
      sourceDone = true;
      return;
    }
    for (sf_count_t i = 0; i < got; ++i) {
      stereo[2 * i] = decoded[i * info.channels];
      stereo[2 * i + 1] = decoded[i * info.channels + info.channels - 1];
    }
    stereoFrames = (int)got;
  }

  static sf_count_t length(void* user) { return static_cast<StreamChannel*>(user)->size; }
  static sf_count_t seek(sf_count_t offset, int whence, void* user) {
    StreamChannel* self = static_cast<StreamChannel*>(user);
    sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? self->at : self->size;
    self->at = std::clamp<sf_count_t>(base + offset, 0, self->size);
    return self->at;
  }
  static sf_count_t read(void* buffer, sf_count_t count, void* user) {
    StreamChannel* self = static_cast<StreamChannel*>(user);
    const sf_count_t take = std::clamp<sf_count_t>(count, 0, self->size - self->at);
    std::memcpy(buffer, self->data + self->at, (size_t)take);
    self->at += take;
    return take;
  }
  static sf_count_t write(const void*, sf_count_t, void*) { return 0; }
  static sf_count_t tell(void* user) { return static_cast<StreamChannel*>(user)->at; }

  const char* data;
  sf_count_t size;
  sf_count_t at = 0;
  SNDFILE* file = nullptr;
  SF_INFO info{};
  double ratio = 1.0;                  // mixing rate over the stream's rate
  SRC_STATE* resampler = nullptr;      // none at the mixing rate
  SDL_AudioStream* mixdown = nullptr;  // for more than two channels
  std::vector<float> decoded;          // a block as the file has it
  std::vector<float> stereo;           // that block in stereo, at the stream's rate
  int stereoUsed = 0, stereoFrames = 0;
  std::vector<float> ready;  // stereo at the mixing rate, not yet played
  int readyAt = 0, readyFrames = 0;
  bool sourceDone = false;  // the file's frames are all decoded
  bool finished = false;    // and all of them played
};

// The library's state. The mixer runs on SDL's audio thread; the sync
// functions run on the library's delivery thread, when the frames that
// trigger them are heard, and may call back into the library: the lock is
// recursive.
//
// What is heard lags what is mixed: a block that the device's callback
// mixes at time t begins to sound once the audio queued ahead of it has
// played, the buffer SDL obtained for the device (SDL 2 reports no further
// latency of the system's own). The play clock therefore takes the block's
// first frame as heard at t plus that buffer's duration and runs on at the
// mixing rate from there, never back and never past what was mixed.
struct Library {
  std::recursive_mutex lock;
  bool ready = false;
  bool outputRunning = false;
  bool manualOutput = false;
  int rate = 44100;
  SDL_AudioDeviceID device = 0;
  std::map<DWORD, std::unique_ptr<Channel>> channels;
  DWORD nextHandle = 1;
  HSYNC nextSync = 1;
  int initCount = 0;
  std::vector<float> scratch;

  int64_t mixedFrames = 0;  // frames mixed since BASS_Init
  // The play clock of a device: frame `anchorFrame` is heard at
  // `anchorTime`; `queuedAhead` frames play before a block just mixed.
  int64_t anchorFrame = 0;
  Clock::time_point anchorTime;
  bool anchored = false;
  int queuedAhead = 0;
  int64_t heardFrames = 0;  // the last play position answered
  // Without a device: the play position follows the mix, or the test's.
  bool drivenPlay = false;
  int64_t drivenPosition = 0;

  std::deque<PendingSync> pending;  // in the order of their frames
  std::condition_variable_any wake;
  std::thread deliverer;
  bool stopDeliverer = false;
};

Library& library() {
  static Library* instance = new Library;  // lives until the process ends
  return *instance;
}

DWORD newHandle(Library& lib) {
  DWORD handle;
  do {
    handle = lib.nextHandle++;
  } while (handle == 0 || lib.channels.count(handle));
  return handle;
}

Channel* findChannel(Library& lib, DWORD handle) {
  auto found = lib.channels.find(handle);
  if (found == lib.channels.end()) {
    fail(BASS_ERROR_HANDLE);
    return nullptr;
  }
  return found->second.get();
}

// The mix frame that the output plays now.
int64_t playPosition(Library& lib) {
  int64_t position;
  if (lib.manualOutput) {
    position = lib.drivenPlay ? lib.drivenPosition : lib.mixedFrames;
  } else if (!lib.anchored) {
    position = 0;
  } else {
    const double since = std::chrono::duration<double>(Clock::now() - lib.anchorTime).count();
    position = lib.anchorFrame + (int64_t)std::floor(since * lib.rate);
  }
  position = std::clamp(position, lib.heardFrames, lib.mixedFrames);
  lib.heardFrames = position;
  return position;
}

// Calls the functions of the syncs whose frames the output has reached.
void deliverDue(Library& lib, int64_t position) {
  while (!lib.pending.empty() && lib.pending.front().frame <= position) {
    const PendingSync event = lib.pending.front();
    lib.pending.pop_front();
    if (lib.channels.count(event.channel))
      event.sync.proc(event.sync.handle, event.channel, event.data, event.sync.user);
  }
}

// The delivery thread of a device: sleeps until the next pending sync is
// due by the play clock, or until a new block or a stop wakes it.
void deliverWhenHeard() {
  Library& lib = library();
  std::unique_lock<std::recursive_mutex> guard(lib.lock);
  while (!lib.stopDeliverer) {
    if (lib.pending.empty()) {
      lib.wake.wait(guard);
      continue;
    }
    const int64_t position = playPosition(lib);
    deliverDue(lib, position);
    if (lib.pending.empty()) continue;
    const int64_t ahead = lib.pending.front().frame - position;
    lib.wake.wait_for(guard, std::chrono::microseconds(ahead * 1000000 / lib.rate + 100));
  }
}

void stopDeliverer(Library& lib) {
  if (!lib.deliverer.joinable()) return;
  {
    std::lock_guard<std::recursive_mutex> guard(lib.lock);
    lib.stopDeliverer = true;
  }
  lib.wake.notify_all();
  lib.deliverer.join();
  lib.stopDeliverer = false;
}

void mix(Library& lib, float* out, int frames) {
  std::fill(out, out + 2 * frames, 0.0f);
  const int64_t start = lib.mixedFrames;
  lib.mixedFrames += frames;
  if (!lib.outputRunning) return;
  lib.scratch.resize((size_t)frames * 2);
  for (auto& [handle, channel] : lib.channels) {
    if (!channel->playing || channel->ended) continue;
    float* buffer = lib.scratch.data();
    const int got = channel->render(buffer, frames, start, lib.pending);
    std::fill(buffer + 2 * got, buffer + 2 * frames, 0.0f);
    for (int i = 0; i < 2 * frames; ++i) out[i] += buffer[i];
    channel->keepHistory(start, buffer, frames);
    if (got < frames) {
      // At its end the channel stops, as if it had been stopped.
      channel->ended = true;
      channel->playing = false;
    }
  }
}

void audioCallback(void*, Uint8* stream, int bytes) {
  Library& lib = library();
  const Clock::time_point now = Clock::now();
  {
    std::lock_guard<std::recursive_mutex> guard(lib.lock);
    const int64_t start = lib.mixedFrames;
    mix(lib, reinterpret_cast<float*>(stream), bytes / (int)(2 * sizeof(float)));
    lib.anchorFrame = start;
    lib.anchorTime = now + std::chrono::microseconds((int64_t)lib.queuedAhead * 1000000 / lib.rate);
    lib.anchored = true;
  }
  lib.wake.notify_all();
}

// Events of channels that are gone, or that will not be heard.
void dropPending(Library& lib, DWORD channel) {
  lib.pending.erase(
      std::remove_if(lib.pending.begin(), lib.pending.end(),
                     [channel](const PendingSync& e) { return e.channel == channel; }),
      lib.pending.end());
}

bool freeChannel(DWORD handle, bool stream) {
  Library& lib = library();
  std::unique_ptr<Channel> gone;
  {
    std::lock_guard<std::recursive_mutex> guard(lib.lock);
    Channel* channel = findChannel(lib, handle);
    if (!channel) return false;
    if (channel->isStream() != stream) return fail(BASS_ERROR_HANDLE);
    gone = std::move(lib.channels[handle]);
    lib.channels.erase(handle);
    dropPending(lib, handle);
  }
  gError = BASS_OK;
  return true;
}

// The window the spectrum's samples are weighed by, worked out once.
const float* hannWindow() {
  static const std::vector<float> window = [] {
    std::vector<float> w(kFftSize);
    for (int i = 0; i < kFftSize; ++i)
      w[i] = (float)(0.5 * (1.0 - std::cos(2.0 * M_PI * i / kFftSize)));
    return w;
  }();
  return window.data();
}

// The transform's set-up, made once per thread: kiss_fftr works in a buffer
// of the set-up's own, so threads cannot share one.
kiss_fftr_cfg spectrumPlan() {
  struct Plan {
    kiss_fftr_cfg config = kiss_fftr_alloc(kFftSize, 0, nullptr, nullptr);
    ~Plan() { kiss_fftr_free(config); }
  };
  thread_local Plan plan;
  return plan.config;
}

bool validMemory(BOOL mem, const void* file, QWORD length) {
  if (!library().ready) return fail(BASS_ERROR_INIT);
  if (!mem || !file || length == 0 || length > (QWORD)INT64_MAX) return fail(BASS_ERROR_ILLPARAM);
  return true;
}

// Music plays on until the process ends, while the program's globals go
// away (the bytes a stream plays from among them). This runs before the
// destructors of everything constructed before the first BASS_Init, so the
// device's callback has stopped by then.
void closeOutputAtExit() {
  Library& lib = library();
  if (!lib.device) return;
  SDL_CloseAudioDevice(lib.device);
  lib.device = 0;
  stopDeliverer(lib);
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  lib.outputRunning = false;
  lib.pending.clear();
}

}  // namespace

BOOL BASS_Init(int device, DWORD freq, DWORD flags, HWND window, const void* guid) {
  Library& lib = library();
  if (lib.ready) return fail(BASS_ERROR_ALREADY);
  if (device != 1 && device != -1) return fail(BASS_ERROR_DEVICE);
  if (freq < 8000 || freq > 192000) return fail(BASS_ERROR_ILLPARAM);
  lib.rate = (int)freq;
  if (!lib.manualOutput) {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return fail(BASS_ERROR_DRIVER);
    SDL_AudioSpec want{};
    want.freq = (int)freq;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = 1024;
    want.callback = audioCallback;
    SDL_AudioSpec have{};
    // The device is asked for exactly this format; SDL converts to the
    // hardware's own rate and format.
    lib.device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (lib.device == 0) {
      SDL_QuitSubSystem(SDL_INIT_AUDIO);
      return fail(BASS_ERROR_DRIVER);
    }
    static bool closesAtExit = false;
    if (!closesAtExit) closesAtExit = std::atexit(closeOutputAtExit) == 0;
    // The buffer SDL fills plays after the one the device is playing.
    lib.queuedAhead = have.freq > 0 ? (int)((int64_t)have.samples * (int)freq / have.freq) : 0;
  }
  {
    std::lock_guard<std::recursive_mutex> guard(lib.lock);
    lib.mixedFrames = lib.heardFrames = lib.drivenPosition = 0;
    lib.anchored = false;
    lib.pending.clear();
  }
  if (lib.device) lib.deliverer = std::thread(deliverWhenHeard);
  lib.ready = true;
  lib.outputRunning = false;
  ++lib.initCount;
  gError = BASS_OK;
  return TRUE;
}

BOOL BASS_Free() {
  Library& lib = library();
  if (!lib.ready) return fail(BASS_ERROR_INIT);
  if (lib.device) {
    // Once closed, the device's callback no longer runs.
    SDL_CloseAudioDevice(lib.device);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    lib.device = 0;
  }
  stopDeliverer(lib);
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  lib.pending.clear();
  lib.channels.clear();
  lib.ready = false;
  lib.outputRunning = false;
  gError = BASS_OK;
  return TRUE;
}

BOOL BASS_Stop() {
  Library& lib = library();
  if (!lib.ready) return fail(BASS_ERROR_INIT);
  if (lib.device) SDL_PauseAudioDevice(lib.device, 1);
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  lib.outputRunning = false;
  // What was mixed and not yet heard is not going to be.
  lib.pending.clear();
  gError = BASS_OK;
  return TRUE;
}

DWORD BASS_ErrorGetCode() { return gError; }

HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags) {
  if (!validMemory(mem, file, length)) return 0;
  Library& lib = library();
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  const DWORD handle = newHandle(lib);
  auto channel = std::make_unique<StreamChannel>(handle, static_cast<const char*>(file) + offset,
                                                 (sf_count_t)length);
  if (!channel->open(lib.rate)) return fail(BASS_ERROR_FORMAT);
  lib.channels[handle] = std::move(channel);
  gError = BASS_OK;
  return handle;
}

HMUSIC BASS_MusicLoad(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags,
                      DWORD freq) {
  if (!validMemory(mem, file, length)) return 0;
  Library& lib = library();
  int error = 0;
  const char* message = nullptr;
  // libopenmpt reports its warnings to a log of its own; nothing of it
  // reaches the program's output.
  openmpt_module* module = openmpt_module_create_from_memory2(
      static_cast<const char*>(file) + offset, (size_t)length, openmpt_log_func_silent, nullptr,
      openmpt_error_func_ignore, nullptr, &error, &message, nullptr);
  if (message) openmpt_free_string(message);
  if (!module) return fail(BASS_ERROR_FORMAT);
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  const DWORD handle = newHandle(lib);
  auto channel = std::make_unique<ModuleChannel>(handle, module);
  channel->rate = freq ? (int)freq : lib.rate;
  lib.channels[handle] = std::move(channel);
  gError = BASS_OK;
  return handle;
}

BOOL BASS_StreamFree(HSTREAM handle) { return freeChannel(handle, true); }
BOOL BASS_MusicFree(HMUSIC handle) { return freeChannel(handle, false); }

BOOL BASS_ChannelPreBuf(DWORD handle, DWORD length) {
  Library& lib = library();
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  if (!findChannel(lib, handle)) return FALSE;
  // Decoding keeps far ahead of real time and the device asks for small
  // blocks, so there is nothing to fill in advance.
  gError = BASS_OK;
  return TRUE;
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
  Library& lib = library();
  {
    std::lock_guard<std::recursive_mutex> guard(lib.lock);
    Channel* channel = findChannel(lib, handle);
    if (!channel) return FALSE;
    if (restart && !channel->setPosition(0)) return FALSE;
    channel->playing = true;
    lib.outputRunning = true;
  }
  if (lib.device) SDL_PauseAudioDevice(lib.device, 0);
  gError = BASS_OK;
  return TRUE;
}

BOOL BASS_ChannelSetPosition(DWORD handle, QWORD position) {
  Library& lib = library();
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  Channel* channel = findChannel(lib, handle);
  if (!channel || !channel->setPosition(position)) return FALSE;
  gError = BASS_OK;
  return TRUE;
}

HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC proc, void* user) {
  Library& lib = library();
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  Channel* channel = findChannel(lib, handle);
  if (!channel) return 0;
  if (type != BASS_SYNC_MUSICINST || channel->isStream()) return fail(BASS_ERROR_ILLTYPE);
  if (!proc) return fail(BASS_ERROR_ILLPARAM);
  HSYNC sync = lib.nextSync++;
  if (sync == 0) sync = lib.nextSync++;
  channel->syncs.push_back(
      Sync{sync, (int)(param & 0xFFFF), (int)((param >> 16) & 0xFFFF), proc, user});
  gError = BASS_OK;
  return sync;
}

DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
  Library& lib = library();
  float samples[kFftSize];
  {
    std::lock_guard<std::recursive_mutex> guard(lib.lock);
    Channel* channel = findChannel(lib, handle);
    if (!channel) return (DWORD)-1;
    if (length != BASS_DATA_FFT2048) return fail(BASS_ERROR_ILLTYPE), (DWORD)-1;
    if (!buffer) return fail(BASS_ERROR_ILLPARAM), (DWORD)-1;
    // The frames that lead up to what the output plays now.
    const int64_t end = playPosition(lib);
    for (int i = 0; i < kFftSize; ++i) samples[i] = channel->historyAt(end - kFftSize + i);
  }
  // Hann window; the magnitudes are scaled by 2 / (sum of the window), so a
  // sine centred on a band reads its amplitude there.
  const double windowSum = kFftSize / 2.0;
  const float* window = hannWindow();
  for (int i = 0; i < kFftSize; ++i) samples[i] *= window[i];
  kiss_fftr_cfg config = spectrumPlan();
  if (!config) return fail(BASS_ERROR_MEM), (DWORD)-1;
  kiss_fft_cpx bins[kFftSize / 2 + 1];
  kiss_fftr(config, samples, bins);
  float* out = static_cast<float*>(buffer);
  for (int k = 0; k < kFftSize / 2; ++k)
    out[k] = (float)(std::hypot(bins[k].r, bins[k].i) * 2.0 / windowSum);
  gError = BASS_OK;
  return (DWORD)(kFftSize / 2 * sizeof(float));
}

namespace sound_test {

void setManualOutput(bool manual) {
  Library& lib = library();
  lib.manualOutput = manual;
  if (!manual) lib.drivenPlay = false;
}

void render(float* out, int frames) {
  Library& lib = library();
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  mix(lib, out, frames);
  deliverDue(lib, playPosition(lib));
}

void drivePlayPosition(bool driven) {
  Library& lib = library();
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  lib.drivenPlay = driven;
}

void setPlayPosition(int64_t frame) {
  Library& lib = library();
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  lib.drivenPosition = frame;
  deliverDue(lib, playPosition(lib));
}

int64_t mixedFrames() {
  Library& lib = library();
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  return lib.mixedFrames;
}

bool initialised() { return library().ready; }
bool outputOpen() { return library().device != 0; }
int initCount() { return library().initCount; }
int channelCount() {
  Library& lib = library();
  std::lock_guard<std::recursive_mutex> guard(lib.lock);
  return (int)lib.channels.size();
}

}  // namespace sound_test
