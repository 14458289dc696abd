#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Exceptions.h"
#include "protocol/BandWidthCalc.h"
#include "protocol/HashList.h"
#include "protocol/Packets.h"
#include "protocol/TimeTools.h"
#include "protocol/events.h"

namespace orlavonix {

ORLAVONIX_DECLARE_EXCEPTION(EFIFOList, Exception);
ORLAVONIX_DECLARE_EXCEPTION(ECustomPacketBuffer, Exception);

// The growable ring both FIFO lists are made of. Grows by GrowBy entries up to
// MaxItems, keeping queue order.
template <typename T> class TRing {
public:
  TRing(int32_t StartItems, int32_t GrowBy, int32_t MaxItems);

  int32_t Count() const { return FCount; }
  int32_t Capacity() const { return FCapacity; }
  bool Empty() const { return FCount == 0; }
  void Push(T Item);
  T Pop();
  // Entry I counted from the oldest (0) to the newest (Count-1).
  const T& At(int32_t I) const { return FItems[static_cast<size_t>((FReadPos + I) % FCapacity)]; }
  bool Full() const { return FCount == FCapacity; }

private:
  void Grow();

  std::vector<T> FItems;
  int32_t FCapacity;
  int32_t FGrowBy;
  int32_t FMaxItems;
  int32_t FCount = 0;
  int32_t FWritePos = 0;
  int32_t FReadPos = 0;
};

// First-in-first-out queue of packets; owns what it holds.
class TFIFOList {
public:
  TFIFOList(int32_t StartItems, int32_t GrowBy, int32_t MaxItems)
      : FRing(StartItems, GrowBy, MaxItems) {}

  void Add(TPacketPtr Packet);
  TPacketPtr Get();
  // The player id of the oldest packet (the sender for server voice); false
  // when empty, and the result is whether the id is not 0.
  bool PeekPlayerId(uint32_t& Id) const;
  int32_t Count() const { return FRing.Count(); }
  int32_t TotalBytes() const { return FTotalBytes; }
  int32_t Capacity() const { return FRing.Capacity(); }

private:
  TRing<TPacketPtr> FRing;
  int32_t FTotalBytes = 0;
};

// The same ring of player ids.
class TFIFOList_Playerid {
public:
  TFIFOList_Playerid(int32_t StartItems, int32_t GrowBy, int32_t MaxItems)
      : FRing(StartItems, GrowBy, MaxItems) {}

  void AddUnique(uint32_t Id);
  bool Get(uint32_t& Id);
  int32_t Count() const { return FRing.Count(); }
  int32_t Capacity() const { return FRing.Capacity(); }

private:
  TRing<uint32_t> FRing;
};

// Buffer options.
constexpr uint8_t pboResend = 1;
constexpr uint8_t pboKeepAlive = 2;
constexpr uint8_t pboClient = 4;

// What the event side hands to the event thread.
enum TBufferEventKind : int32_t {
  bekNone = -1,
  bekPacketReceived = 0,
  bekConnectionTimedOut = 1,
  bekClosing = 3,
};

// Bits of TCustomPacketBuffer::ThreadStopped.
constexpr int32_t tsEventThread = 0;
constexpr int32_t tsSendThread = 1;

// One connection of the packet buffer: numbering, acknowledgement, resending,
// ordering, fragmentation and the connection's timers. Used only under the
// buffer's lock.
class TSingleConnection {
public:
  static constexpr int32_t WindowSize = 8;
  static constexpr int32_t ReorderSize = 16;
  static constexpr int32_t PingSampleCount = 16;
  static constexpr int32_t MaxCommandSize = 560;
  static constexpr int32_t FragmentPayload = MaxCommandSize - CommandHeaderSize;
  static constexpr int32_t MaxReassembled = 107200;
  static constexpr int32_t KeepAliveMs = 1010;
  static constexpr int32_t TimerCeilingMs = 120000;

  TSingleConnection(uint8_t Options, uint32_t PlayerId, uint32_t ConnectionId, std::string Host,
                    uint16_t Port, uint32_t FirstUnreliable, std::string Name, const TClock* Clock);
  ~TSingleConnection();
  TSingleConnection(const TSingleConnection&) = delete;
  TSingleConnection& operator=(const TSingleConnection&) = delete;

  uint32_t PlayerId() const { return FPlayerId; }
  uint32_t ConnectionId() const { return FConnectionId; }
  uint8_t State() const { return FState; }
  const std::string& PeerHost() const { return FPeerHost; }
  uint16_t PeerPort() const { return FPeerPort; }
  uint32_t ReliableSeq() const { return FReliableSeq; }
  uint32_t VoiceSeq() const { return FVoiceSeq; }
  uint32_t UnreliableSeq() const { return FUnreliableSeq; }
  uint32_t ExpectedReliable() const { return FExpectedReliable; }
  uint32_t ExpectedVoice() const { return FExpectedVoice; }
  uint32_t ExpectedUnreliable() const { return FExpectedUnreliable; }
  int32_t InFlightCount() const;
  int32_t ResendTimeout() const { return FResendTimeout; }
  int32_t AveragePing() const { return FAveragePing; }
  int64_t PacketsLost() const { return FPacketsLost; }
  int64_t PacketsSent() const { return FPacketsSent; }
  int64_t BytesSent() const { return FBytesSent; }
  int64_t PacketsReceived() const { return FPacketsReceived; }
  int64_t BytesReceived() const { return FBytesReceived; }
  bool Throttled() const { return FThrottled; }
  int32_t ReliableQueueCount() const { return FReliableQueue.Count(); }
  int32_t VoiceQueueCount() const { return FVoiceQueue.Count(); }
  int32_t PartialSize() const { return FPartial ? FPartial->Size() : 0; }
  const TClientBandWidthCalc& UploadLimiter() const { return FUploadLimiter; }

  // Queues a packet of the client (the caller has found the connection).
  void Queue(TPacketPtr Packet);
  // The next packet for the wire, or nothing; Now is the pass's time base.
  TPacketPtr NextPacket(const TPerformanceTime& Now);
  // Milliseconds until the connection counts as dead; 0 when it is.
  int32_t TimeLeft(const TPerformanceTime& Now);
  int32_t QueuedCommands() const { return FReliableQueue.Count(); }
  void SetUploadLimit(int32_t BytesPerSecond);

private:
  friend class TCustomPacketBuffer;

  // True when it matched a packet in flight.
  bool HandleAck(const TPacket& Ack);
  // Puts what is ready for the event thread into Out; returns whether an
  // acknowledgement was queued.
  bool HandleCommand(TPacketPtr Packet, std::vector<TPacketPtr>& Out);
  void HandleVoice(TPacketPtr Packet, std::vector<TPacketPtr>& Out);
  // True when an answer was queued.
  bool HandleMaintenance(TPacketPtr Packet);
  void Deliver(TPacketPtr Packet, std::vector<TPacketPtr>& Out);
  void AddPingSample(int32_t Ms);
  void QueueCommandPiece(TPacketPtr Packet);
  void Split(TPacketPtr Packet);
  void Account(TPacket& Packet, const TPerformanceTime& Now);

  uint8_t FOptions;
  uint32_t FPlayerId;
  uint32_t FConnectionId;
  std::string FPeerHost;
  uint16_t FPeerPort;
  uint8_t FState = 0;
  int32_t FWindowSize = WindowSize;
  TFIFOList FImmediateQueue{16, 4, 1024};
  TFIFOList FReliableQueue{16, 8, 1024};
  TFIFOList FVoiceQueue{64, 32, 1024};
  TFIFOList FUnreliableQueue{32, 16, 1024};
  uint32_t FReliableSeq = 0;
  uint32_t FVoiceSeq = 0;
  uint32_t FUnreliableSeq;
  uint32_t FExpectedReliable = 1;
  uint32_t FExpectedVoice = 1;
  uint32_t FExpectedUnreliable;
  std::array<TPacketPtr, ReorderSize> FReorder;
  int32_t FReorderHead = 0;
  std::array<TPacketPtr, WindowSize> FInFlight;
  std::array<std::unique_ptr<TPerformanceTime>, WindowSize> FFirstSent;
  std::array<std::unique_ptr<TPerformanceTime>, WindowSize> FLastSent;
  int32_t FResendTimeout = 100;
  std::array<int32_t, PingSampleCount> FPingSamples;
  int32_t FPingIndex = 0;
  int32_t FAveragePing = 50;
  std::unique_ptr<TPerformanceTime> FLastReceived;
  std::unique_ptr<TPerformanceTime> FLastSentAny;
  std::unique_ptr<TPerformanceTime> FLastPing;
  int32_t FLoginTimeout = 2000;
  int32_t FConnectedTimeout = 30000;
  int64_t FPacketsSent = 0;
  int64_t FBytesSent = 0;
  int64_t FPacketsReceived = 0;
  int64_t FBytesReceived = 0;
  int64_t FPacketsLost = 0;
  TPacketPtr FPartial;
  TClientBandWidthCalc FUploadLimiter;
  bool FThrottled = false;
  uint32_t FThrottledPlayer = 0;
  std::unique_ptr<TPerformanceTime> FThrottleTimer;
  std::string FName;
  const TClock* FClock;
};

// Counters and rates for the connection status window.
struct TBufferStatistics {
  int32_t PacketsSent = 0;
  int32_t PacketsReceived = 0;
  int64_t BytesSent = 0;
  int64_t BytesReceived = 0;
  float InPerSecond = 0;
  float InPerMinute = 0;
  float OutPerSecond = 0;
  float OutPerMinute = 0;
};

// Sits between the client and its socket: everything sent passes through it,
// everything received is handed to it. The send thread takes packets with
// GetPacketToSend, the event thread takes events with WaitForEvent.
class TCustomPacketBuffer {
public:
  // The value in FReady that stands for the unbound queue.
  static constexpr uint32_t UnboundId = 0xFFFFFFFEu;
  static constexpr int32_t PassMs = 50;
  static constexpr int32_t MaxQueuedCommands = 512;

  explicit TCustomPacketBuffer(uint8_t Options, const TClock* Clock = nullptr);
  ~TCustomPacketBuffer();
  TCustomPacketBuffer(const TCustomPacketBuffer&) = delete;
  TCustomPacketBuffer& operator=(const TCustomPacketBuffer&) = delete;

  void AddConnection(uint32_t PlayerId, uint32_t ConnectionId, const std::string& Host,
                     uint16_t Port, uint32_t FirstUnreliable, const std::string& Name);
  void RemoveConnection(uint32_t PlayerId);
  bool HasConnection(uint32_t PlayerId);

  void SendPacket(TPacketPtr Packet);
  void SendUnbound(TPacketPtr Packet);
  int32_t UnboundCount() {
    std::lock_guard<std::recursive_mutex> G(FLock);
    return FUnbound.Count();
  }
  void ReceivePacket(TPacketPtr Packet);

  // -1 waits without limit; nothing when the buffer closes or time is up.
  TPacketPtr GetPacketToSend(int32_t WaitMs);
  // One attempt without waiting; WaitMs receives the time until the next pass.
  TPacketPtr TryGetPacketToSend(int32_t* WaitMs = nullptr);
  // Blocks until an event is there (or the buffer closes).
  void WaitForEvent(int32_t& Kind, uint32_t& PlayerId, TPacketPtr& Packet);
  // One attempt without waiting; Kind is bekNone when nothing is there.
  void TryGetEvent(int32_t& Kind, uint32_t& PlayerId, TPacketPtr& Packet,
                   int32_t* WaitMs = nullptr);

  // How long a connection may stay silent while logging in and when
  // connected; applies to connections added afterwards.
  void SetTimeouts(int32_t LoginMs, int32_t ConnectedMs);
  void SetCaptureLoginReply(bool On);
  TPacketPtr TakeLoginReply();
  void SetUploadLimit(uint32_t PlayerId, int32_t Limit);
  void ThreadStopped(int32_t Bit);
  void Close();
  bool Closing() const { return FClosing.load(std::memory_order_acquire); }
  TBufferStatistics GetStatistics();

  // Runs Fn on the connection under the buffer's lock; false without one.
  template <typename F> bool InspectConnection(uint32_t PlayerId, F&& Fn) {
    std::lock_guard<std::recursive_mutex> G(FLock);
    TSingleConnection* C = Find(PlayerId);
    if (!C)
      return false;
    Fn(*C);
    return true;
  }

private:
  TSingleConnection* Find(uint32_t PlayerId) const;
  TPacketPtr AttemptSend(int32_t& WaitMs);
  void AttemptEvent(int32_t& Kind, uint32_t& PlayerId, TPacketPtr& Packet, int32_t& WaitMs);
  TPacketPtr FinishSent(TPacketPtr Packet);

  uint8_t FOptions;
  const TClock* FClock;
  TFIFOList FReceived{512, 512, 4096};
  std::vector<std::unique_ptr<TSingleConnection>> FConnections;
  THashList FConnectionTable{1024};
  std::recursive_mutex FLock;
  TWindowsEvent FReceiveEvent;
  TWindowsEvent FSendEvent;
  TWindowsEvent FStoppedEvent;
  std::atomic<uint32_t> FStoppedThreads{0};
  std::atomic<bool> FClosing{false};
  std::atomic<int32_t> FPacketsSent{0};
  std::atomic<int64_t> FBytesSent{0};
  std::atomic<int32_t> FPacketsReceived{0};
  std::atomic<int64_t> FBytesReceived{0};
  int32_t FSendScanIndex = 0;
  int32_t FEventScanIndex = 0;
  int32_t FLoginTimeout = 2000;
  int32_t FConnectedTimeout = 30000;
  bool FCaptureLoginReply = false;
  TPacketPtr FLoginReply;
  TFIFOList FUnbound{512, 512, 4096};
  TBandWidthCalc FReceiveMeter;
  TBandWidthCalc FSendMeter;
  bool FSendScanDone = false;
  std::unique_ptr<TPerformanceTime> FSendScanTimer;
  TFIFOList_Playerid FReady{256, 256, 100000};
  bool FEventScanDone = false;
  std::unique_ptr<TPerformanceTime> FEventScanTimer;
  std::unique_ptr<TPerformanceTime> FEventNow;
  std::unique_ptr<TPerformanceTime> FSendNow;
};

} // namespace orlavonix
