#pragma once

#include <cstdint>
#include <memory>

namespace orlavonix {

class TThread;

// What a backend I/O thread hands its blocks to. The sound engine's input and
// output devices implement these; tests put in their own.
class TCaptureSink {
public:
  virtual ~TCaptureSink() = default;
  // One captured block of Count 16-bit samples at 22050 Hz.
  virtual void ProcessInput(const int16_t* Block, int Count) = 0;
};

class TPlaybackSource {
public:
  virtual ~TPlaybackSource() = default;
  // Fills Block with the next Count 16-bit samples to play.
  virtual void ProduceOutput(int16_t* Block, int Count) = 0;
};

// Makes the device pair of one backend thread. The thread owns what it gets
// and frees it when it ends; Owner is the thread itself, so that the engine
// can find the thread that owns an output device.
class TSoundDeviceFactory {
public:
  virtual ~TSoundDeviceFactory() = default;
  virtual std::unique_ptr<TCaptureSink> CreateInput(TThread& Owner) = 0;
  virtual std::unique_ptr<TPlaybackSource> CreateOutput(TThread& Owner) = 0;
};

// The largest block the engine's devices take, in bytes.
inline constexpr int MaxSoundBlockBytes = 4096;

} // namespace orlavonix
