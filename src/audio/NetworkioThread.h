#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/SoundDeviceLink.h"
#include "base/Thread.h"
#include "protocol/TimeTools.h"

namespace orlavonix {

// "PORT:L" or "PORT:B" in either case: the port to listen on and the byte
// order of the samples on the stream.
struct TNetworkDeviceName {
  int32_t Port = 0;
  bool LittleEndian = true;
};
// Raises the general exception "Wrong device format (port:B / port:L)".
TNetworkDeviceName ParseNetworkDeviceName(const std::string& Name);

// Exchanges the two bytes of every 16-bit sample when the stream is big-endian.
void ConvertByteOrder(void* Block, size_t Bytes, bool LittleEndian);

// When the next block falls due, measured on a stopwatch that is restarted
// (re-based) every few dozen blocks. The stopwatch reports at most 5000 ms, so
// re-basing comes early enough for the longest block period to stay inside it.
class TBlockPacer {
public:
  TBlockPacer(int BlockSize, TPerformanceTime& Clock);

  // A new connection: restart the stopwatch with the first block due.
  void Begin();
  // Milliseconds until the next block is due; zero or less when it is due.
  int32_t TimeToNext();
  // Account for one block step taken with the given TimeToNext result (<= 0).
  void BlockStep(int32_t TimeLeft);

  int32_t Due() const { return FDue; }
  int32_t BlockNumber() const { return FBlock; }
  // The block number at which the stopwatch is re-based.
  int32_t RebaseAt() const { return FRebaseAt; }
  // [k * block period] in whole milliseconds, halves to even.
  int32_t DueOf(int32_t K) const;

private:
  int FBlockSize;
  TPerformanceTime& FClock;
  int32_t FBlock = 1;
  int32_t FDue = 0;
  int32_t FRebaseAt;
};

// The network sound device: listens on a TCP port, serves one peer at a time
// and exchanges raw 22050 Hz mono 16-bit samples with it, one block each way
// per block period, paced by its own clock since no sound card sets the pace.
class TNetworkioThread : public TThread {
public:
  // Parses the name (raising the format error) and starts at once. Devices and
  // Clock (the system clock when none) must outlive the thread.
  TNetworkioThread(const std::string& DeviceName, int BlockSize, TSoundDeviceFactory& Devices,
                   const TClock* Clock = nullptr);
  ~TNetworkioThread() override;

  bool Initialized() const { return FInitialized.load(std::memory_order_acquire); }
  TCaptureSink* InputDevice() const { return FIn.get(); }
  TPlaybackSource* OutputDevice() const { return FOut.get(); }
  int32_t Port() const { return FPort; }
  bool LittleEndian() const { return FLittleEndian; }
  bool Connected() const { return FConnected.load(std::memory_order_acquire); }
  // The port actually listened on (differs from Port() when that is 0).
  int32_t BoundPort() const { return FBoundPort.load(std::memory_order_acquire); }

protected:
  void Execute() override;

private:
  void Initialize();
  int OpenSocket();
  void WaitForConnection();
  void CloseConnection();
  void Exchange();
  // False when the connection has ended.
  bool ExchangePass();
  void BlockStep(int32_t TimeLeft);
  void ResetRings();
  void Cleanup();

  std::string FDeviceName;
  int FBlockSize;
  int32_t FPort = 0;
  std::unique_ptr<TCaptureSink> FIn;
  std::unique_ptr<TPlaybackSource> FOut;
  std::atomic<bool> FInitialized{false};
  int FListenSocket = -1;
  int FSocket = -1;
  // Rings of three blocks each; int16_t keeps the samples aligned.
  std::vector<int16_t> FInBuffer;
  std::vector<int16_t> FOutBuffer;
  int FInRead = 0, FInCount = 0, FOutRead = 0, FOutCount = 0;
  int FInFill = 0, FOutSent = 0;
  // The peer has finished sending; it may still be reading.
  bool FPeerDone = false;
  const TClock* FClockSource;
  std::unique_ptr<TPerformanceTime> FClock;
  std::unique_ptr<TBlockPacer> FPacer;
  TSoundDeviceFactory& FDevices;
  bool FLittleEndian = true;
  std::atomic<bool> FConnected{false};
  std::atomic<int32_t> FBoundPort{0};
};

} // namespace orlavonix
