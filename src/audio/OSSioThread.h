#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/OSS.h"
#include "audio/SoundDeviceLink.h"
#include "base/Thread.h"

namespace orlavonix {

// Drives a sound card through the OSS device file: opens it for recording and
// playing at once, sets mono 16-bit 22050 Hz with three fragments of the block
// size, then reads a block for the capture device and writes one produced by
// the playback device, over and over. The blocking device calls set the pace.
class TOSSioThread : public TThread {
public:
  // Starts at once. Devices must outlive the thread.
  TOSSioThread(std::string DeviceName, int BlockSize, TSoundDeviceFactory& Devices,
               TOssSystem& Sys = RealOssSystem());
  ~TOSSioThread() override;

  bool Initialized() const { return FInitialized.load(std::memory_order_acquire); }
  // None when the card cannot record while it plays.
  TCaptureSink* InputDevice() const { return FIn.get(); }
  TPlaybackSource* OutputDevice() const { return FOut.get(); }
  bool Duplex() const { return FDuplex; }
  // The driver's block size once initialised.
  int BlockSize() const { return FBlockSize; }

protected:
  void Execute() override;

private:
  bool Initialize();
  void Pass();
  void Cleanup();

  std::string FDeviceName;
  int FBlockSize;
  int FHandle = 0;
  std::atomic<bool> FInitialized{false};
  std::unique_ptr<TCaptureSink> FIn;
  std::unique_ptr<TPlaybackSource> FOut;
  bool FDuplex = false;
  std::vector<int16_t> FInBuffer;
  std::vector<int16_t> FOutBuffer;
  TSoundDeviceFactory& FDevices;
  TOssSystem& FSys;
};

} // namespace orlavonix
