#include "protocol/PacketBuffers.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "base/Bytes.h"
#include "base/Format.h"

namespace orlavonix {

template <typename T>
TRing<T>::TRing(int32_t StartItems, int32_t GrowBy, int32_t MaxItems)
    : FCapacity(StartItems), FGrowBy(GrowBy), FMaxItems(MaxItems) {
  if (MaxItems < StartItems)
    throw EFIFOList("StartItems if more than MaxItems");
  if (MaxItems > 100000)
    throw EFIFOList(Format("%d Items is to much. A FifoList can contain 100.000 items", MaxItems));
  if (GrowBy > 10000)
    throw EFIFOList(
        Format("%d Items is to much. A FifoList can grow with 10.000 items at a time max", GrowBy));
  if (StartItems < 0 || GrowBy < 0 || MaxItems < 0)
    throw EFIFOList("Negative parameter is not allowed");
  try {
    FItems.resize(static_cast<size_t>(StartItems));
  } catch (const std::bad_alloc&) {
    throw EFIFOList("Can't allocate needed memory");
  }
}

template <typename T> void TRing<T>::Grow() {
  if (FCapacity >= FMaxItems || FGrowBy == 0)
    throw EFIFOList(
        Format("TFIFOList max items reached( %d, %d, %d)", FCapacity, FGrowBy, FMaxItems));
  int32_t NewCapacity = std::min(FCapacity + FGrowBy, FMaxItems);
  std::vector<T> Items;
  try {
    Items.resize(static_cast<size_t>(NewCapacity));
  } catch (const std::bad_alloc&) {
    throw EFIFOList("Can't allocate needed memory");
  }
  for (int32_t I = 0; I < FCount; ++I)
    Items[static_cast<size_t>(I)] =
        std::move(FItems[static_cast<size_t>((FReadPos + I) % FCapacity)]);
  FItems = std::move(Items);
  FReadPos = 0;
  FWritePos = FCapacity;
  FCapacity = NewCapacity;
}

template <typename T> void TRing<T>::Push(T Item) {
  if (FCount == FCapacity)
    Grow();
  FItems[static_cast<size_t>(FWritePos)] = std::move(Item);
  FWritePos = (FWritePos + 1) % FCapacity;
  ++FCount;
}

template <typename T> T TRing<T>::Pop() {
  T Item = std::move(FItems[static_cast<size_t>(FReadPos)]);
  FItems[static_cast<size_t>(FReadPos)] = T();
  FReadPos = (FReadPos + 1) % FCapacity;
  --FCount;
  return Item;
}

template class TRing<TPacketPtr>;
template class TRing<uint32_t>;

void TFIFOList::Add(TPacketPtr Packet) {
  if (!Packet)
    return;
  int32_t Bytes = Packet->Size();
  FRing.Push(std::move(Packet));
  FTotalBytes += Bytes;
}

TPacketPtr TFIFOList::Get() {
  if (FRing.Empty())
    return nullptr;
  TPacketPtr P = FRing.Pop();
  FTotalBytes -= P->Size();
  return P;
}

bool TFIFOList::PeekPlayerId(uint32_t& Id) const {
  if (FRing.Empty())
    return false;
  const TPacket& P = *FRing.At(0);
  if (P.IsServerVoice())
    Id = P.ServerVoiceHeader()->SenderId;
  else
    Id = P.GetPlayerId();
  return Id != 0;
}

void TFIFOList_Playerid::AddUnique(uint32_t Id) {
  // A full ring is not scanned: the value is appended after growing.
  if (!FRing.Full())
    for (int32_t I = FRing.Count() - 1; I >= 0; --I)
      if (FRing.At(I) == Id)
        return;
  FRing.Push(Id);
}

bool TFIFOList_Playerid::Get(uint32_t& Id) {
  if (FRing.Empty())
    return false;
  Id = FRing.Pop();
  return true;
}

} // namespace orlavonix

// ---------------------------------------------------------------------------
// Reliable delivery

namespace orlavonix {

namespace {
constexpr int32_t Ceiling = TSingleConnection::TimerCeilingMs;

TPacketPtr CopyOf(const TPacket& P) {
  auto C = std::make_unique<TPacket>();
  C->Assign(P);
  return C;
}
} // namespace

TSingleConnection::TSingleConnection(uint8_t Options, uint32_t PlayerId, uint32_t ConnectionId,
                                     std::string Host, uint16_t Port, uint32_t FirstUnreliable,
                                     std::string Name, const TClock* Clock)
    : FOptions(Options), FPlayerId(PlayerId), FConnectionId(ConnectionId),
      FPeerHost(std::move(Host)), FPeerPort(Port), FUnreliableSeq(FirstUnreliable),
      FExpectedUnreliable(FirstUnreliable + 2), FLastReceived(NewPerformanceTime(Clock)),
      FLastSentAny(NewPerformanceTime(Clock)), FLastPing(NewPerformanceTime(Clock)),
      FUploadLimiter(Clock), FThrottleTimer(NewPerformanceTime(Clock)), FName(std::move(Name)),
      FClock(Clock) {
  FPingSamples.fill(50);
  for (int32_t I = 0; I < WindowSize; ++I) {
    FFirstSent[static_cast<size_t>(I)] = NewPerformanceTime(Clock);
    FLastSent[static_cast<size_t>(I)] = NewPerformanceTime(Clock);
  }
}

TSingleConnection::~TSingleConnection() = default;

int32_t TSingleConnection::InFlightCount() const {
  int32_t N = 0;
  while (N < FWindowSize && FInFlight[static_cast<size_t>(N)])
    ++N;
  return N;
}

void TSingleConnection::SetUploadLimit(int32_t BytesPerSecond) {
  FUploadLimiter.SetLimit(BytesPerSecond);
  FThrottled = false;
}

void TSingleConnection::QueueCommandPiece(TPacketPtr Packet) {
  FReliableQueue.Add(std::move(Packet));
}

void TSingleConnection::Split(TPacketPtr Packet) {
  const int32_t Payload = Packet->Size() - CommandHeaderSize;
  const int32_t Count = (Payload + FragmentPayload - 1) / FragmentPayload;
  // The count travels in one byte, and a half-queued command would reach the
  // server as garbage: refuse before queuing anything.
  if (Count - 1 > 255)
    throw ECustomPacketBuffer("Invalid packet on buffer");
  if (FReliableQueue.Count() + Count > 1024)
    throw EFIFOList("TFIFOList max items reached");
  const uint8_t* Src = Packet->Memory();
  int32_t Offset = CommandHeaderSize;
  for (int32_t K = Count - 1; K >= 0; --K) {
    int32_t Len = std::min(FragmentPayload, Packet->Size() - Offset);
    auto F = std::make_unique<TPacket>();
    F->WriteBuffer(Src, CommandHeaderSize);
    F->WriteBuffer(Src + Offset, Len);
    F->SetPosition(0);
    F->CommandHeader()->FragmentsFollowing = static_cast<uint8_t>(K);
    Offset += Len;
    QueueCommandPiece(std::move(F));
  }
}

void TSingleConnection::Queue(TPacketPtr Packet) {
  if (Packet->IsCommand()) {
    Packet->CommandHeader()->FragmentsFollowing = 0;
    Packet->CommandHeader()->Reserved = 0;
    if (Packet->Size() > MaxCommandSize)
      Split(std::move(Packet));
    else
      QueueCommandPiece(std::move(Packet));
  } else if (Packet->IsClientVoice()) {
    if (FState != 1)
      throw ECustomPacketBuffer(
          "Sending voice packet to pre connected, closing or closed connection");
    if (!FThrottled || FVoiceQueue.TotalBytes() < 2 * FUploadLimiter.Limit())
      FVoiceQueue.Add(std::move(Packet));
  } else if (Packet->IsMaintenance()) {
    FUnreliableQueue.Add(std::move(Packet));
  } else {
    throw ECustomPacketBuffer("Invalid packet on buffer");
  }
}

void TSingleConnection::Account(TPacket& Packet, const TPerformanceTime& Now) {
  Packet.SetCrc();
  Packet.SetPeer(FPeerHost, FPeerPort, FName);
  FLastSentAny->Assign(Now);
  ++FPacketsSent;
  FBytesSent += Packet.Size();
  if (Packet.IsCommand())
    FUploadLimiter.AddCommand(Packet.Size(), &Now);
  else
    FUploadLimiter.Add(Packet.Size(), &Now);
}

TPacketPtr TSingleConnection::NextPacket(const TPerformanceTime& Now) {
  const int32_t Wait = FUploadLimiter.WaitTime(&Now);
  TPacketPtr Out;
  if (FImmediateQueue.Count() > 0) {
    Out = FImmediateQueue.Get();
  } else {
    if (Wait > 0) {
      uint32_t Id = 0;
      if (!FThrottled && FVoiceQueue.TotalBytes() > FUploadLimiter.Limit() &&
          FVoiceQueue.PeekPlayerId(Id)) {
        FThrottled = true;
        FThrottledPlayer = Id;
        FThrottleTimer->Assign(Now);
        for (int32_t I = FVoiceQueue.Count(); I > 0; --I) {
          TPacketPtr V = FVoiceQueue.Get();
          if (V->GetPlayerId() == Id)
            FVoiceQueue.Add(std::move(V));
        }
      }
      return nullptr;
    }
    if (FThrottled && FReliableQueue.Count() == 0 && FVoiceQueue.Count() == 0 &&
        FThrottleTimer->ElapsedSince(Now, Ceiling) > 1000)
      FThrottled = false;
    const bool CommandMayGo = FVoiceQueue.Count() == 0 || FUploadLimiter.CanSendCommand();
    if ((FOptions & pboResend) && CommandMayGo) {
      for (size_t I = 0; I < FInFlight.size() && FInFlight[I]; ++I)
        if (FLastSent[I]->ElapsedSince(Now, Ceiling) > FResendTimeout) {
          TCommandHeader* H = FInFlight[I]->CommandHeader();
          H->ResendCount = static_cast<uint16_t>(H->ResendCount + 1);
          FLastSent[I]->Assign(Now);
          Out = CopyOf(*FInFlight[I]);
          break;
        }
    }
    if (!Out && CommandMayGo && FReliableQueue.Count() > 0) {
      const int32_t Slot = InFlightCount();
      if (Slot < FWindowSize) {
        TPacketPtr P = FReliableQueue.Get();
        TCommandHeader* H = P->CommandHeader();
        H->Sequence = ++FReliableSeq;
        H->ConnectionId = FConnectionId;
        H->ResendCount = 0;
        FFirstSent[static_cast<size_t>(Slot)]->Assign(Now);
        FLastSent[static_cast<size_t>(Slot)]->Assign(Now);
        Out = CopyOf(*P);
        FInFlight[static_cast<size_t>(Slot)] = std::move(P);
      }
    }
    if (!Out && (FOptions & pboKeepAlive) && FState == 1 &&
        (FLastSentAny->ElapsedSince(Now, Ceiling) >= KeepAliveMs ||
         (FLastReceived->ElapsedSince(Now, Ceiling) >= KeepAliveMs &&
          FLastPing->ElapsedSince(Now, Ceiling) >= KeepAliveMs))) {
      Out = std::make_unique<TPacket>();
      TMaintenanceHeader H{};
      H.Magic = PacketClassMaintenance;
      H.PacketType = mtPing;
      H.ConnectionId = FConnectionId;
      H.PlayerId = FPlayerId;
      H.Sequence = ++FUnreliableSeq;
      Out->WriteBuffer(&H, sizeof H);
      Out->SetPosition(0);
      FLastPing->Assign(Now);
    }
    if (!Out && FVoiceQueue.Count() > 0) {
      if (FThrottled)
        FThrottleTimer->Assign(Now);
      Out = FVoiceQueue.Get();
      FVoiceSeq = (FVoiceSeq + 1) % 65536;
      Out->ClientVoiceHeader()->Sequence = static_cast<uint16_t>(FVoiceSeq);
      Out->ClientVoiceHeader()->ConnectionId = FConnectionId;
    }
    if (!Out && FUnreliableQueue.Count() > 0) {
      Out = FUnreliableQueue.Get();
      Out->MaintenanceHeader()->Sequence = ++FUnreliableSeq;
      Out->MaintenanceHeader()->ConnectionId = FConnectionId;
    }
  }
  if (Out)
    Account(*Out, Now);
  return Out;
}

int32_t TSingleConnection::TimeLeft(const TPerformanceTime& Now) {
  if (!(FOptions & pboKeepAlive))
    return 1000;
  const int32_t Timeout = FState == 0 ? FLoginTimeout : FConnectedTimeout;
  return std::max(0, Timeout - FLastReceived->ElapsedSince(Now, Ceiling));
}

void TSingleConnection::AddPingSample(int32_t Ms) {
  FPingSamples[static_cast<size_t>(FPingIndex)] = Ms;
  FPingIndex = (FPingIndex + 1) % PingSampleCount;
  int64_t Sum = 0;
  for (int32_t S : FPingSamples)
    Sum += S;
  FAveragePing = static_cast<int32_t>(Sum / PingSampleCount);
  FResendTimeout = std::max<int32_t>(
      100, static_cast<int32_t>(static_cast<double>(Sum) / PingSampleCount * 1.5));
}

bool TSingleConnection::HandleAck(const TPacket& Ack) {
  ++FPacketsReceived;
  FBytesReceived += Ack.Size();
  const TAckHeader* A = Ack.AckHeader();
  for (size_t I = 0; I < FInFlight.size() && FInFlight[I]; ++I) {
    if (FInFlight[I]->CommandHeader()->Sequence != A->Sequence)
      continue;
    if (A->ResendCount == 0) {
      int32_t Ms = FFirstSent[I]->ElapsedMs(Ceiling, true);
      if (Ms > 0)
        AddPingSample(Ms);
    } else {
      FPacketsLost += A->ResendCount;
    }
    FInFlight[I].reset();
    for (size_t J = I; J + 1 < FInFlight.size(); ++J) {
      FInFlight[J] = std::move(FInFlight[J + 1]);
      std::swap(FFirstSent[J], FFirstSent[J + 1]);
      std::swap(FLastSent[J], FLastSent[J + 1]);
    }
    return true;
  }
  return false;
}

bool TSingleConnection::HandleCommand(TPacketPtr Packet, std::vector<TPacketPtr>& Out) {
  ++FPacketsReceived;
  FBytesReceived += Packet->Size();
  const TCommandHeader* H = Packet->CommandHeader();
  const uint32_t Seq = H->Sequence;
  // 64-bit so that sequence numbers near the top of the range cannot wrap
  // into the window.
  const uint64_t Expected = FExpectedReliable;
  const uint64_t WindowEnd = Expected + ReorderSize;
  bool Acked = false;
  if (Seq < WindowEnd) {
    auto A = std::make_unique<TPacket>();
    TAckHeader AH{};
    AH.Magic = PacketClassAck;
    AH.ResendCount = H->ResendCount;
    AH.ConnectionId = FConnectionId;
    AH.PlayerId = FPlayerId;
    AH.Sequence = Seq;
    A->WriteBuffer(&AH, sizeof AH);
    A->SetPosition(0);
    FImmediateQueue.Add(std::move(A));
    Acked = true;
  }
  if (Seq >= Expected && Seq < WindowEnd) {
    size_t Slot =
        static_cast<size_t>((Seq - Expected + static_cast<uint64_t>(FReorderHead)) % ReorderSize);
    if (!FReorder[Slot])
      FReorder[Slot] = std::move(Packet);
  }
  while (FReorder[static_cast<size_t>(FReorderHead)]) {
    TPacketPtr P = std::move(FReorder[static_cast<size_t>(FReorderHead)]);
    ++FExpectedReliable;
    FReorderHead = (FReorderHead + 1) % ReorderSize;
    Deliver(std::move(P), Out);
  }
  return Acked;
}

void TSingleConnection::HandleVoice(TPacketPtr Packet, std::vector<TPacketPtr>& Out) {
  if (FState == 0)
    throw ECustomPacketBuffer("Recv voice data during login");
  const uint32_t Seq = Packet->ServerVoiceHeader()->Sequence;
  if (Seq >= FExpectedVoice || (FExpectedVoice > 64535 && Seq < 16)) {
    int64_t Diff = int64_t(Seq) - int64_t(FExpectedVoice);
    if (Diff < 10000 && Diff > -10000)
      FPacketsLost += Diff;
    FExpectedVoice = (Seq + 1) % 65536;
  }
  ++FPacketsReceived;
  FBytesReceived += Packet->Size();
  Deliver(std::move(Packet), Out);
}

bool TSingleConnection::HandleMaintenance(TPacketPtr Packet) {
  const TMaintenanceHeader* H = Packet->MaintenanceHeader();
  const uint32_t Seq = H->Sequence;
  if (Seq >= FExpectedUnreliable) {
    FPacketsLost += Seq - FExpectedUnreliable;
    FExpectedUnreliable = Seq + 1;
  }
  if (H->PacketType == mtPing && FState == 1) {
    Packet->Clear();
    TMaintenanceHeader P{};
    P.Magic = PacketClassMaintenance;
    P.PacketType = mtPong;
    P.PlayerId = FPlayerId;
    Packet->WriteBuffer(&P, sizeof P);
    Packet->WriteBuffer(&Seq, sizeof Seq);
    Packet->SetPosition(0);
    FUnreliableQueue.Add(std::move(Packet));
    return true;
  }
  if (H->PacketType == mtPong && FState == 1 && Packet->Size() >= MaintenanceHeaderSize + 4 &&
      GetLE<uint32_t>(Packet->Memory() + MaintenanceHeaderSize) == FUnreliableSeq) {
    int32_t Ms = FLastPing->ElapsedMs(Ceiling, true);
    if (Ms <= KeepAliveMs)
      AddPingSample(Ms);
  }
  return false;
}

void TSingleConnection::Deliver(TPacketPtr Packet, std::vector<TPacketPtr>& Out) {
  if (!Packet->IsCommand()) {
    Out.push_back(std::move(Packet));
    return;
  }
  const TCommandHeader* H = Packet->CommandHeader();
  if (H->PacketType == 8 && FState == 0)
    FState = 1;
  const uint8_t Following = H->FragmentsFollowing;
  if (!FPartial) {
    if (Following == 0)
      Out.push_back(std::move(Packet));
    else
      FPartial = std::move(Packet);
    return;
  }
  FPartial->Seek(0, TSeekOrigin::soEnd);
  FPartial->WriteBuffer(Packet->Memory() + CommandHeaderSize, Packet->Size() - CommandHeaderSize);
  Packet.reset();
  if (Following == 0 || FPartial->Size() > MaxReassembled) {
    FPartial->SetPosition(0);
    Out.push_back(std::move(FPartial));
  }
}

// ---------------------------------------------------------------------------

TCustomPacketBuffer::TCustomPacketBuffer(uint8_t Options, const TClock* Clock)
    : FOptions(Options), FClock(Clock), FReceiveMeter(true, Clock), FSendMeter(true, Clock),
      FSendScanTimer(NewPerformanceTime(Clock)), FEventScanTimer(NewPerformanceTime(Clock)),
      FEventNow(NewPerformanceTime(Clock)), FSendNow(NewPerformanceTime(Clock)) {}

TCustomPacketBuffer::~TCustomPacketBuffer() {
  std::lock_guard<std::recursive_mutex> G(FLock);
  for (auto& C : FConnections)
    FConnectionTable.Remove(static_cast<int32_t>(C->PlayerId()));
  FConnections.clear();
}

TSingleConnection* TCustomPacketBuffer::Find(uint32_t PlayerId) const {
  return static_cast<TSingleConnection*>(FConnectionTable.Find(static_cast<int32_t>(PlayerId)));
}

void TCustomPacketBuffer::AddConnection(uint32_t PlayerId, uint32_t ConnectionId,
                                        const std::string& Host, uint16_t Port,
                                        uint32_t FirstUnreliable, const std::string& Name) {
  std::lock_guard<std::recursive_mutex> G(FLock);
  RemoveConnection(PlayerId);
  auto C = std::make_unique<TSingleConnection>(FOptions, PlayerId, ConnectionId, Host, Port,
                                               FirstUnreliable, Name, FClock);
  C->FLoginTimeout = FLoginTimeout;
  C->FConnectedTimeout = FConnectedTimeout;
  FConnectionTable.Add(static_cast<int32_t>(PlayerId), C.get());
  FConnections.push_back(std::move(C));
}

void TCustomPacketBuffer::SetTimeouts(int32_t LoginMs, int32_t ConnectedMs) {
  std::lock_guard<std::recursive_mutex> G(FLock);
  FLoginTimeout = LoginMs;
  FConnectedTimeout = ConnectedMs;
}

void TCustomPacketBuffer::RemoveConnection(uint32_t PlayerId) {
  std::lock_guard<std::recursive_mutex> G(FLock);
  TSingleConnection* C = Find(PlayerId);
  if (!C)
    return;
  FConnectionTable.Remove(static_cast<int32_t>(PlayerId));
  for (size_t I = 0; I < FConnections.size(); ++I)
    if (FConnections[I].get() == C) {
      FConnections.erase(FConnections.begin() + static_cast<std::ptrdiff_t>(I));
      if (FSendScanIndex > static_cast<int32_t>(I))
        --FSendScanIndex;
      if (FEventScanIndex > static_cast<int32_t>(I))
        --FEventScanIndex;
      break;
    }
}

bool TCustomPacketBuffer::HasConnection(uint32_t PlayerId) {
  std::lock_guard<std::recursive_mutex> G(FLock);
  return Find(PlayerId) != nullptr;
}

void TCustomPacketBuffer::SendPacket(TPacketPtr Packet) {
  if (!Packet)
    return;
  std::lock_guard<std::recursive_mutex> G(FLock);
  if (!Packet->HasClass())
    throw ECustomPacketBuffer("Invalid packet on buffer");
  const uint32_t Id = Packet->GetPlayerId();
  TSingleConnection* C = Find(Id);
  if (!C)
    return;
  C->Queue(std::move(Packet));
  FReady.AddUnique(Id);
  FSendEvent.SetEvent();
}

void TCustomPacketBuffer::SendUnbound(TPacketPtr Packet) {
  if (!Packet)
    return;
  std::lock_guard<std::recursive_mutex> G(FLock);
  FUnbound.Add(std::move(Packet));
  FReady.AddUnique(UnboundId);
  FSendEvent.SetEvent();
}

void TCustomPacketBuffer::ReceivePacket(TPacketPtr Packet) {
  if (!Packet)
    return;
  std::lock_guard<std::recursive_mutex> G(FLock);
  ++FPacketsReceived;
  FBytesReceived += Packet->Size();
  FReceiveMeter.Add(Packet->Size());
  if (!Packet->IsValid())
    throw ECustomPacketBuffer("Invalid Packet");
  if (Packet->IsClientVoice())
    throw ECustomPacketBuffer("C2S recv on Client");
  if (Packet->IsMaintenance() && Packet->MaintenanceHeader()->PacketType == mtLoginStep2) {
    if (FCaptureLoginReply)
      FLoginReply = std::move(Packet);
    return;
  }
  const uint32_t Id = Packet->GetPlayerId();
  TSingleConnection* C = Find(Id);
  if (!C)
    return;
  if (Packet->GetConnectionId() != C->ConnectionId())
    throw ECustomPacketBuffer("wrong Connection + player combo");
  C->FPeerHost = Packet->PeerHost;
  C->FPeerPort = Packet->PeerPort;
  C->FLastReceived->Restart();
  std::vector<TPacketPtr> Out;
  bool WantsSend = false;
  if (Packet->IsAck())
    WantsSend = C->HandleAck(*Packet);
  else if (Packet->IsCommand())
    WantsSend = C->HandleCommand(std::move(Packet), Out);
  else if (Packet->IsServerVoice())
    C->HandleVoice(std::move(Packet), Out);
  else if (Packet->IsMaintenance())
    WantsSend = C->HandleMaintenance(std::move(Packet));
  if (WantsSend) {
    FReady.AddUnique(Id);
    FSendEvent.SetEvent();
  }
  if (!Out.empty()) {
    for (auto& P : Out)
      FReceived.Add(std::move(P));
    FReceiveEvent.SetEvent();
  }
}

TPacketPtr TCustomPacketBuffer::AttemptSend(int32_t& WaitMs) {
  FSendEvent.ResetEvent();
  WaitMs = PassMs;
  if (Closing())
    return nullptr;
  int32_t Since = FSendScanTimer->ElapsedSince(*FSendNow, Ceiling);
  if (!FSendScanDone || Since >= PassMs) {
    if (FSendScanDone) {
      FSendScanDone = false;
      FSendScanTimer->Assign(*FSendNow);
      FSendScanIndex = 0;
      Since = 0;
    }
    if (TPacketPtr P = FUnbound.Get()) {
      P->SetCrc();
      FReady.AddUnique(UnboundId);
      return P;
    }
    while (FSendScanIndex < static_cast<int32_t>(FConnections.size())) {
      TSingleConnection& C = *FConnections[static_cast<size_t>(FSendScanIndex++)];
      if (TPacketPtr P = C.NextPacket(*FSendNow)) {
        FReady.AddUnique(C.PlayerId());
        return P;
      }
    }
    FSendScanDone = true;
  }
  uint32_t Id;
  while (FReady.Get(Id)) {
    if (Id == UnboundId) {
      if (TPacketPtr P = FUnbound.Get()) {
        P->SetCrc();
        FReady.AddUnique(UnboundId);
        return P;
      }
      continue;
    }
    TSingleConnection* C = Find(Id);
    if (!C)
      continue;
    if (TPacketPtr P = C->NextPacket(*FSendNow)) {
      FReady.AddUnique(Id);
      return P;
    }
  }
  WaitMs = std::clamp(PassMs - Since, 1, PassMs);
  return nullptr;
}

TPacketPtr TCustomPacketBuffer::FinishSent(TPacketPtr Packet) {
  ++FPacketsSent;
  FBytesSent += Packet->Size();
  FSendMeter.Add(Packet->Size());
  return Packet;
}

TPacketPtr TCustomPacketBuffer::TryGetPacketToSend(int32_t* WaitMs) {
  int32_t W = 0;
  TPacketPtr P;
  {
    std::lock_guard<std::recursive_mutex> G(FLock);
    FSendNow->Restart();
    P = AttemptSend(W);
  }
  if (WaitMs)
    *WaitMs = W;
  return P ? FinishSent(std::move(P)) : nullptr;
}

TPacketPtr TCustomPacketBuffer::GetPacketToSend(int32_t WaitMs) {
  using Steady = std::chrono::steady_clock;
  const auto Deadline = Steady::now() + std::chrono::milliseconds(std::max(WaitMs, 0));
  for (;;) {
    int32_t W = 0;
    if (TPacketPtr P = TryGetPacketToSend(&W))
      return P;
    if (Closing())
      return nullptr;
    if (WaitMs >= 0) {
      auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Steady::now());
      if (Left.count() <= 0)
        return nullptr;
      W = std::min<int32_t>(W, static_cast<int32_t>(Left.count()));
    }
    FSendEvent.WaitFor(W);
  }
}

void TCustomPacketBuffer::AttemptEvent(int32_t& Kind, uint32_t& PlayerId, TPacketPtr& Packet,
                                       int32_t& WaitMs) {
  FReceiveEvent.ResetEvent();
  Kind = bekNone;
  WaitMs = PassMs;
  if (Closing()) {
    Kind = bekClosing;
    return;
  }
  int32_t Since = FEventScanTimer->ElapsedSince(*FEventNow, Ceiling);
  if (!FEventScanDone || Since >= PassMs) {
    if (FEventScanDone) {
      FEventScanDone = false;
      FEventScanTimer->Assign(*FEventNow);
      FEventScanIndex = 0;
      Since = 0;
    }
    while (FEventScanIndex < static_cast<int32_t>(FConnections.size())) {
      TSingleConnection& C = *FConnections[static_cast<size_t>(FEventScanIndex++)];
      if (C.TimeLeft(*FEventNow) == 0 || C.QueuedCommands() > MaxQueuedCommands) {
        Kind = bekConnectionTimedOut;
        PlayerId = C.PlayerId();
        return;
      }
    }
    FEventScanDone = true;
  }
  if (TPacketPtr P = FReceived.Get()) {
    Kind = bekPacketReceived;
    PlayerId = P->GetPlayerId();
    Packet = std::move(P);
    return;
  }
  WaitMs = std::clamp(PassMs - Since, 1, PassMs);
}

void TCustomPacketBuffer::TryGetEvent(int32_t& Kind, uint32_t& PlayerId, TPacketPtr& Packet,
                                      int32_t* WaitMs) {
  int32_t W = 0;
  {
    std::lock_guard<std::recursive_mutex> G(FLock);
    FEventNow->Restart();
    AttemptEvent(Kind, PlayerId, Packet, W);
  }
  if (WaitMs)
    *WaitMs = W;
}

void TCustomPacketBuffer::WaitForEvent(int32_t& Kind, uint32_t& PlayerId, TPacketPtr& Packet) {
  for (;;) {
    int32_t W = 0;
    TryGetEvent(Kind, PlayerId, Packet, &W);
    if (Kind != bekNone)
      return;
    FReceiveEvent.WaitFor(W);
  }
}

void TCustomPacketBuffer::SetCaptureLoginReply(bool On) {
  std::lock_guard<std::recursive_mutex> G(FLock);
  FCaptureLoginReply = On;
  FLoginReply.reset();
}

TPacketPtr TCustomPacketBuffer::TakeLoginReply() {
  std::lock_guard<std::recursive_mutex> G(FLock);
  return std::move(FLoginReply);
}

void TCustomPacketBuffer::SetUploadLimit(uint32_t PlayerId, int32_t Limit) {
  if (Limit < 0)
    return;
  std::lock_guard<std::recursive_mutex> G(FLock);
  if (TSingleConnection* C = Find(PlayerId))
    C->SetUploadLimit(static_cast<int32_t>(std::min<int64_t>(int64_t(Limit) * 128, INT32_MAX)));
}

void TCustomPacketBuffer::ThreadStopped(int32_t Bit) {
  uint32_t Now = FStoppedThreads.fetch_or(1u << Bit) | (1u << Bit);
  if ((Now & 3u) == 3u)
    FStoppedEvent.SetEvent();
}

void TCustomPacketBuffer::Close() {
  FClosing.store(true, std::memory_order_release);
  FReceiveEvent.SetEvent();
  FSendEvent.SetEvent();
  FStoppedEvent.WaitFor(2000);
}

TBufferStatistics TCustomPacketBuffer::GetStatistics() {
  TBufferStatistics S;
  S.PacketsSent = FPacketsSent.load();
  S.PacketsReceived = FPacketsReceived.load();
  S.BytesSent = FBytesSent.load();
  S.BytesReceived = FBytesReceived.load();
  FReceiveMeter.GetRates(nullptr, S.InPerSecond, S.InPerMinute);
  FSendMeter.GetRates(nullptr, S.OutPerSecond, S.OutPerMinute);
  return S;
}

} // namespace orlavonix
