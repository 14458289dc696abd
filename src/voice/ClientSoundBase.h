#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "voice/resample.h"

namespace orlavonix {

// What the sound engine needs from the protocol object; TClient implements it.
// Both calls come from the backend's I/O thread and take the client's sound
// lock themselves.
class TSoundClient {
public:
  // Count mixed voice samples at 8000 Hz into Buffer; false when it wrote nothing.
  virtual bool snd_GetSoundData(float* Buffer, int32_t Count) = 0;
  // Count captured samples at 8000 Hz for sending; true when they were taken.
  // Level receives the normaliser's gain, 0 when the block was not taken.
  virtual bool snd_StoreSoundData(float* Samples, int32_t Count, float& Level) = 0;

protected:
  ~TSoundClient() = default;
};

// The conversation recorder as the devices see it.
class TSoundRecorder {
public:
  // A captured block at 22050 Hz, or nullptr for Count samples of silence.
  virtual void AddInput(const int16_t* Samples, int32_t Count, float Gain) = 0;
  // A finished output block at 22050 Hz.
  virtual void AddOutput(const int16_t* Samples, int32_t Count) = 0;

protected:
  ~TSoundRecorder() = default;
};

// Base of the playback and capture halves. The backend's I/O thread creates,
// drives and frees them; Open and Close have nothing to do because the thread
// owns the hardware.
class TSoundDevice {
public:
  TSoundDevice(TSoundClient* Client, TSoundRecorder* Recorder)
      : FClient(Client), FRecorder(Recorder) {}
  virtual ~TSoundDevice() = default;
  TSoundDevice(const TSoundDevice&) = delete;
  TSoundDevice& operator=(const TSoundDevice&) = delete;
  virtual bool Open() { return true; }
  virtual void Close() {}

protected:
  TSoundClient* FClient;
  TSoundRecorder* FRecorder;
};

// Playback half: mixed voice at 8000 Hz, interpolated to 22050 Hz (11/4 with
// pacing), plus queued event sounds.
class TSoundOutDevice : public TSoundDevice {
public:
  static constexpr int32_t Buffer8kSize = 4092;
  static constexpr int32_t Buffer22kSize = 11026;

  TSoundOutDevice(TSoundClient* Client, float SoundsVolume, TSoundRecorder* Recorder);

  // Fills Block with Count samples (one audio block).
  void ProduceOutput(int16_t* Block, int32_t Count);

  // Event sounds (22050 Hz mono; the caller keeps the samples alive until played).
  void QueueSound(const int16_t* Samples, int32_t Count);
  void ClearSounds();
  bool IsPlayingSounds();
  void SetSoundsVolume(float Gain) { FSoundsVolume.store(Gain, std::memory_order_relaxed); }
  float SoundsVolume() const { return FSoundsVolume.load(std::memory_order_relaxed); }
  int32_t Buffered22k() const { return F22kbufsize; }

private:
  struct TQueuedSound {
    const int16_t* Samples;
    int32_t Total;
    int32_t Played;
  };
  void ProduceBlock(int16_t* Block, int32_t Count);

  TUpsampler FUpsampler;
  std::mutex FSoundQueueLock;
  std::deque<TQueuedSound> FSoundQueue;
  alignas(16) float F8kBuffer[Buffer8kSize + 4];
  int32_t F8kCount = 0;
  int16_t F22kBuffer[Buffer22kSize];
  int32_t F22kbufsize = 0;
  float FUpsampled[Buffer8kSize / 8 * 22 + 22];
  int32_t FEventMix[Buffer22kSize];
  std::atomic<float> FSoundsVolume;
};

// Capture half: 22050 Hz blocks decimated (4/11) to 8000 Hz, high-pass
// filtered and handed to the client for sending.
class TSoundInDevice : public TSoundDevice {
public:
  static constexpr int32_t RawSize = 22056;
  static constexpr int32_t OutputSize = 8192;

  TSoundInDevice(TSoundClient* Client, bool Flag, TSoundRecorder* Recorder);

  void ProcessInput(const int16_t* Block, int32_t Count);
  // The backend's flag, kept for the settings; it changes nothing here.
  bool Flag() const { return FFlag; }

private:
  void ProcessChunk(const int16_t* Block, int32_t Count);
  void HighPass(float* Samples, int32_t Count);

  int16_t FRawInput[RawSize];
  int32_t FRawCount = 0;
  float FFloatInput[RawSize];
  int32_t FFloatCount = 0;
  float F8kOutput[OutputSize];
  int32_t F8kOutputCount = 0;
  float FHighPassX[6] = {};
  float FHighPassY[6] = {};
  TDownsampler FDownsampler;
  bool FFlag;
};

// The fifth-order high-pass of the capture path on its own, for tests:
// state of 6 inputs and 6 outputs, newest last.
void HighPassFilter(float* X, float* Y, float* Samples, int32_t Count);

// Players shown as talking: ids in order of starting, grown 16 at a time.
class TTalkingList {
public:
  bool IsTalking(uint32_t Id) const;
  // False when already in (or not in) the list.
  bool Start(uint32_t Id);
  bool Stop(uint32_t Id);
  void Clear(); // empties and releases the storage
  int32_t Count() const { return static_cast<int32_t>(FIds.size()); }
  uint32_t At(int32_t I) const { return FIds[static_cast<size_t>(I)]; }
  // Every id followed by ";".
  std::string Text() const;
  size_t Capacity() const { return FIds.capacity(); }

private:
  std::vector<uint32_t> FIds;
};

class TPlayerSoundData;

// The arithmetic of one mixing round: collect the players whose receive
// buffers deliver this round, then sum them. The caller holds its locks and
// calls DataUsed on every buffer afterwards.
class TVoiceMixer {
public:
  void Begin(int32_t Count);
  // Asks the buffer for this round's samples; true when it contributes.
  bool Collect(TPlayerSoundData& Buffer, uint32_t Id);
  bool Contains(uint32_t Id) const;
  int32_t Sources() const { return FCount; }
  // Out = sum of the collected runs times Volume; false when nobody spoke.
  bool Mix(float* Out, float Volume) const;

private:
  struct TSource {
    uint32_t Id;
    const float* First;
    int32_t FirstCount;
    const float* Second;
    int32_t SecondCount;
  };
  int32_t FSamples = 0;
  int32_t FCount = 0;
  std::vector<TSource> FSources;
};

// What an audio backend's I/O thread offers the engine. The thread is created
// running; it opens the hardware, creates its devices and reports
// Initialized(), or ends by itself (Finished()) when that fails. Then, per
// block, it calls TSoundInDevice::ProcessInput (when it can capture) and
// TSoundOutDevice::ProduceOutput, and plays the result. Destroying the object
// terminates the thread, waits for it and frees both devices.
class TSoundIOThread {
public:
  virtual ~TSoundIOThread() = default;
  virtual bool Initialized() const = 0;
  virtual bool Finished() const = 0;
  virtual TSoundInDevice* InputDevice() const = 0;   // nullptr when it cannot capture
  virtual TSoundOutDevice* OutputDevice() const = 0; // nullptr only before Initialized
};

// The values a backend thread is created with.
struct TSoundBackendParams {
  std::string Name; // device path or network address
  bool Flag = false;
  float SoundsVolume = 0.7f;
  TSoundRecorder* Recorder = nullptr;
  TSoundClient* Client = nullptr;
  int32_t BufferSize = 4096; // bytes per block
};

// Creates the I/O thread of backend Kind (0 OSS, 1 network); nullptr for a
// kind it does not know. The one place that maps kinds to backends.
using TSoundBackendFactory =
    std::function<std::unique_ptr<TSoundIOThread>(int32_t Kind, const TSoundBackendParams&)>;

// The object the main window owns: the open backend with its devices, and the
// event-sound queue with its gain.
class TSoundBase {
public:
  TSoundBase(TSoundClient* Client, TSoundRecorder* Recorder)
      : FClient(Client), FRecorder(Recorder) {}
  virtual ~TSoundBase() = default;
  TSoundBase(const TSoundBase&) = delete;
  TSoundBase& operator=(const TSoundBase&) = delete;

  virtual bool IsPlayingSounds();
  virtual bool OpenDevice(int32_t Kind, const std::string& Name, bool Flag) = 0;
  // Linux has no device list: empties it.
  virtual void GetDevices(std::vector<std::string>& List) { List.clear(); }

  void PlaySound(const int16_t* Samples, int32_t Count);
  void ClearSounds();
  void SetSoundsVolume(float Gain);
  float SoundsVolume() const { return FSoundsVolume; }
  bool HasInput() const { return FIn != nullptr; }
  bool HasOutput() const { return FOut != nullptr; }
  int32_t InKind() const { return FInKind; }
  int32_t OutKind() const { return FOutKind; }
  const std::string& InName() const { return FInName; }
  const std::string& OutName() const { return FOutName; }

protected:
  TSoundInDevice* FIn = nullptr;
  TSoundOutDevice* FOut = nullptr;
  TSoundClient* FClient;
  int32_t FInKind = -1;
  int32_t FOutKind = -1;
  std::string FInName;
  std::string FOutName;
  float FSoundsVolume = 0.7f;
  TSoundRecorder* FRecorder;
};

} // namespace orlavonix
