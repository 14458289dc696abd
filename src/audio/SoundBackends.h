#pragma once

#include <cstdint>
#include <memory>

#include "audio/NetworkioThread.h"
#include "audio/OSSioThread.h"
#include "audio/SoundDeviceLink.h"
#include "voice/ClientSoundBase.h"

namespace orlavonix {

// The engine's devices as the backend threads drive them. FThread is the
// thread that created and owns the device.
class TOSSIn : public TSoundInDevice, public TCaptureSink {
public:
  TOSSIn(TSoundClient* Client, bool Flag, TSoundRecorder* Recorder)
      : TSoundInDevice(Client, Flag, Recorder) {}
  void ProcessInput(const int16_t* Block, int Count) override {
    TSoundInDevice::ProcessInput(Block, Count);
  }
};

class TOssOut : public TSoundOutDevice, public TPlaybackSource {
public:
  TOssOut(TSoundClient* Client, float SoundsVolume, TSoundRecorder* Recorder, TThread* Thread)
      : TSoundOutDevice(Client, SoundsVolume, Recorder), FThread(Thread) {}
  void ProduceOutput(int16_t* Block, int Count) override {
    TSoundOutDevice::ProduceOutput(Block, Count);
  }
  TThread* Thread() const { return FThread; }

private:
  TThread* FThread;
};

class TNetworkIn : public TOSSIn {
public:
  using TOSSIn::TOSSIn;
};

class TNetworkOut : public TOssOut {
public:
  using TOssOut::TOssOut;
};

// Makes the I/O thread of a backend kind: 0 the sound card (Name is the device
// file), 1 the network device (Name is "PORT:L" or "PORT:B"); nothing for any
// other kind. A malformed network name raises its format error from here.
// This is the one place that maps kinds to backends.
std::unique_ptr<TSoundIOThread> CreateSoundBackend(int32_t Kind, const TSoundBackendParams& P);

} // namespace orlavonix
