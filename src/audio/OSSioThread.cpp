#include "audio/OSSioThread.h"

#include "audio/soundcard.h"
#include "base/Format.h"
#include "protocol/logdebug.h"

namespace orlavonix {

TOSSioThread::TOSSioThread(std::string DeviceName, int BlockSize, TSoundDeviceFactory& Devices,
                           TOssSystem& Sys)
    : FDeviceName(std::move(DeviceName)), FBlockSize(BlockSize), FDevices(Devices), FSys(Sys) {
  Start();
}

TOSSioThread::~TOSSioThread() {
  Terminate();
  WaitFor();
}

void TOSSioThread::Execute() {
  if (Initialize()) {
    while (!Terminated()) {
      try {
        Pass();
      } catch (const std::exception& E) {
        LogException("TOSSioThread.execute", E);
      }
    }
  }
  Cleanup();
}

bool TOSSioThread::Initialize() {
  try {
    FHandle = OpenSoundDevice(FDeviceName, 2, FSys);
    int Revision = 0, Caps = 0;
    GetDeviceCaps(FHandle, Revision, Caps, FSys);
    FDuplex = ((Caps << 8) & soundcard::CapDuplex) != 0;
    SetFragmentSize(FHandle, 3, FBlockSize, FSys);
    SetSoundFormat(FHandle, 22050, 16, 1, FSys);
    int DriverBlock = 0;
    GetSoundBufferSize(FHandle, DriverBlock, FSys);
    // The driver's block size is taken when the engine's devices can handle it;
    // some emulations report many times the request, which would overrun them.
    if (DriverBlock >= 2 && DriverBlock <= MaxSoundBlockBytes && DriverBlock % 2 == 0)
      FBlockSize = DriverBlock;
    else
      LogFmt(lkWarning, "TOSSioThread.Initialize", "Driver block size %1 not usable, using %2",
             DriverBlock, FBlockSize);
    if (FDuplex)
      FInBuffer.assign(FBlockSize / 2, 0);
    FOutBuffer.assign(FBlockSize / 2, 0);
    if (FDuplex)
      FIn = FDevices.CreateInput(*this);
    FOut = FDevices.CreateOutput(*this);
    FInitialized.store(true, std::memory_order_release);
    return true;
  } catch (const std::exception& E) {
    LogException("TOSSioThread.Initialize", E);
    Terminate();
    return false;
  }
}

void TOSSioThread::Pass() {
  const int Samples = FBlockSize / 2;
  if (FDuplex) {
    size_t Got = InputSound(FHandle, FInBuffer.data(), static_cast<size_t>(Samples) * 2, FSys,
                            [this] { return Terminated(); });
    if (Terminated())
      return;
    // A device that ended early leaves silence rather than the last block.
    std::fill(FInBuffer.begin() + static_cast<long>(Got / 2), FInBuffer.end(), int16_t(0));
    if (FIn)
      FIn->ProcessInput(FInBuffer.data(), Samples);
  }
  FOut->ProduceOutput(FOutBuffer.data(), Samples);
  OutputSound(FHandle, FOutBuffer.data(), static_cast<size_t>(Samples) * 2, FSys);
}

void TOSSioThread::Cleanup() {
  try {
    FIn.reset();
    FOut.reset();
    FInBuffer.clear();
    FOutBuffer.clear();
    if (FHandle != 0) {
      int H = FHandle;
      FHandle = 0;
      CloseDevice(H, FSys);
    }
  } catch (const std::exception& E) {
    LogException("TOSSioThread.Cleanup", E);
  }
}

} // namespace orlavonix
