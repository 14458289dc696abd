#pragma once

#include <memory>

#include "voice/ClientSoundBase.h"

namespace orlavonix {

// The Linux sound engine: one backend I/O thread at a time, made by the
// factory the program passes in (kind 0 OSS, kind 1 network device).
class TLinuxSound : public TSoundBase {
public:
  TLinuxSound(TSoundClient* Client, TSoundRecorder* Recorder, TSoundBackendFactory Factory);
  ~TLinuxSound() override;

  // 1024 and 2048 as given, anything else 4096; used at the next OpenDevice.
  void SetBufferSize(int32_t Size);
  int32_t BufferSize() const { return FBufferSize; }
  // Closes the current backend, then opens Kind (-1 closes only). False when
  // the kind is unknown or the thread did not initialise within about 1 s.
  bool OpenDevice(int32_t Kind, const std::string& Name, bool Flag) override;

private:
  void CloseBackend();

  int32_t FBufferSize = 4096;
  TSoundBackendFactory FFactory;
  std::unique_ptr<TSoundIOThread> FThread;
};

} // namespace orlavonix
