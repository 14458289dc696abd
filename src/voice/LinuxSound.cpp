#include "voice/LinuxSound.h"

#include <chrono>
#include <thread>

namespace orlavonix {

TLinuxSound::TLinuxSound(TSoundClient* Client, TSoundRecorder* Recorder,
                         TSoundBackendFactory Factory)
    : TSoundBase(Client, Recorder), FFactory(std::move(Factory)) {}

TLinuxSound::~TLinuxSound() {
  OpenDevice(-1, "", false);
}

void TLinuxSound::SetBufferSize(int32_t Size) {
  FBufferSize = (Size == 1024 || Size == 2048) ? Size : 4096;
}

void TLinuxSound::CloseBackend() {
  FIn = nullptr;
  FOut = nullptr;
  FThread.reset(); // stops the thread, which frees both devices
  FInKind = FOutKind = -1;
  FInName.clear();
  FOutName.clear();
}

bool TLinuxSound::OpenDevice(int32_t Kind, const std::string& Name, bool Flag) {
  CloseBackend();
  if (Kind < 0 || !FFactory)
    return false;
  TSoundBackendParams P;
  P.Name = Name;
  P.Flag = Flag;
  P.SoundsVolume = FSoundsVolume;
  P.Recorder = FRecorder;
  P.Client = FClient;
  P.BufferSize = FBufferSize;
  auto Thread = FFactory(Kind, P);
  if (!Thread)
    return false;
  for (int I = 0; I < 100 && !Thread->Initialized() && !Thread->Finished(); ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  bool Ok = Thread->Initialized();
  if (Ok) {
    FThread = std::move(Thread);
    FIn = FThread->InputDevice();
    FOut = FThread->OutputDevice();
  } else {
    Thread.reset();
  }
  FInKind = FOutKind = Kind;
  FInName = FOutName = Name;
  return Ok;
}

} // namespace orlavonix
