// A TClient driven without a socket: its packets come out as kind 30 records,
// the test hands it server packets, and every event record is kept.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "protocol/ClientProtocol.h"
#include "support/ServerPackets.h"

namespace orlavonix::testing {

using TRecord = std::vector<uint8_t>;

// Every record the client raised, in order, waited on with a bounded time.
class TEventLog {
public:
  bool Add(const void* Data, int32_t Size) {
    std::lock_guard<std::mutex> G(FLock);
    auto* B = static_cast<const uint8_t*>(Data);
    FRecords.emplace_back(B, B + Size);
    FChanged.notify_all();
    return true;
  }
  TClientCallback Callback() {
    return [this](const void* D, int32_t S) { return Add(D, S); };
  }
  std::vector<TRecord> All() const {
    std::lock_guard<std::mutex> G(FLock);
    return FRecords;
  }
  std::vector<TRecord> OfKind(int32_t Kind) const {
    std::vector<TRecord> Out;
    for (auto& R : All())
      if (KindOf(R) == Kind)
        Out.push_back(R);
    return Out;
  }
  std::vector<int32_t> Kinds(bool WithoutSendPackets = true) const {
    std::vector<int32_t> Out;
    for (auto& R : All())
      if (!WithoutSendPackets || KindOf(R) != cb_SendPacket)
        Out.push_back(KindOf(R));
    return Out;
  }
  // Waits until Count records satisfy Pred; false on time-out.
  bool WaitFor(const std::function<bool(const TRecord&)>& Pred, size_t Count = 1,
               int TimeoutMs = 5000) {
    std::unique_lock<std::mutex> G(FLock);
    return FChanged.wait_for(G, std::chrono::milliseconds(TimeoutMs), [&] {
      size_t N = 0;
      for (auto& R : FRecords)
        N += Pred(R) ? 1 : 0;
      return N >= Count;
    });
  }
  bool WaitForKind(int32_t Kind, size_t Count = 1, int TimeoutMs = 5000) {
    return WaitFor([Kind](const TRecord& R) { return KindOf(R) == Kind; }, Count, TimeoutMs);
  }
  void Clear() {
    std::lock_guard<std::mutex> G(FLock);
    FRecords.clear();
  }
  static int32_t KindOf(const TRecord& R) {
    int32_t K = -1;
    if (R.size() >= 4)
      std::memcpy(&K, R.data(), 4);
    return K;
  }
  template <typename T> static T As(const TRecord& R) {
    T V{};
    std::memcpy(&V, R.data(), std::min(sizeof V, R.size()));
    return V;
  }

private:
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TRecord> FRecords;
};

// The packets the client put on its carrier (kind 30 records).
inline std::vector<TBytes> SentPackets(const TEventLog& Log) {
  std::vector<TBytes> Out;
  for (auto& R : Log.OfKind(cb_SendPacket)) {
    auto S = TEventLog::As<TcbSendPacket>(R);
    Out.emplace_back(S.Data, S.Data + S.Size);
  }
  return Out;
}

inline bool IsCommandOfType(const TBytes& B, int16_t Type) {
  return B.size() >= 24 && GetLE<uint16_t>(B.data()) == PacketClassCommand &&
         GetLE<int16_t>(B.data() + 2) == Type;
}

// A logged-in client on a manual clock, with a server side that numbers its
// commands.
struct TClientHarness {
  static constexpr uint32_t Me = 5;
  static constexpr uint32_t Conn = 77;

  explicit TClientHarness(uint8_t Options = coResend | coKeepAlive | coCallbackTransport) {
    Client = std::make_unique<TClient>(Log.Callback(), Options, &Clock);
    Client->SetOwnLeaveDelayMs(0);
  }

  int32_t Login(TLoginReplySpec Fields = {}, TLoginRequest Request = {}) {
    Fields.PlayerId = Me;
    Fields.ConnectionId = Conn;
    TBytes Reply = LoginReplyBytes(Fields);
    return Client->LoginWithReply(Reply.data(), Reply.size(), Request, ErrorText);
  }

  // A command from the server with the next sequence number.
  void Send(int16_t Type, const TBytes& Payload) {
    TBytes B = CommandBytes(Type, Me, Conn, ++Seq, Payload);
    auto P = ToPacket(B);
    Client->ReceiveDatagram(P->Memory(), static_cast<size_t>(P->Size()));
  }
  void SendRaw(const TPacket& P) {
    Client->ReceiveDatagram(P.Memory(), static_cast<size_t>(P.Size()));
  }

  TEventLog Log;
  TManualClock Clock;
  std::unique_ptr<TClient> Client;
  std::string ErrorText;
  uint32_t Seq = 0;
};

// Wire pieces of the server's notifications.
inline TBytes ChannelWire(uint32_t Id, const std::string& Name, int32_t Parent = -1,
                          uint16_t Flags = 0, uint16_t Codec = 5, const std::string& Topic = "",
                          const std::string& Description = "", uint16_t Order = 0,
                          uint16_t MaxUsers = 0) {
  TByteWriter W;
  W.U32(Id).U16(Flags).U16(Codec).I32(Parent).U16(Order).U16(MaxUsers);
  W.Terminated(Name).Terminated(Topic).Terminated(Description);
  return W.Data();
}

inline TBytes PlayerWire(uint32_t Id, uint32_t Channel, const std::string& Nick,
                         uint16_t PlayerPrivileges = 0, uint16_t ChannelPrivileges = 0,
                         uint16_t Flags = 0) {
  TByteWriter W;
  W.U32(Id).U32(Channel).U16(ChannelPrivileges).U16(PlayerPrivileges).U16(Flags);
  W.ShortString(Nick, 29);
  return W.Data();
}

inline TBytes Concat(std::initializer_list<TBytes> Parts) {
  TBytes Out;
  for (auto& P : Parts)
    Out.insert(Out.end(), P.begin(), P.end());
  return Out;
}

inline TBytes ChannelList(const std::vector<TBytes>& Channels) {
  TBytes Out = U32Bytes(static_cast<uint32_t>(Channels.size()));
  for (auto& C : Channels)
    Out.insert(Out.end(), C.begin(), C.end());
  return Out;
}

// Count -1: the number of players given.
inline TBytes PlayerList(const std::vector<TBytes>& Players, int64_t Count = -1) {
  TBytes Out = U32Bytes(static_cast<uint32_t>(Count < 0 ? int64_t(Players.size()) : Count));
  for (auto& P : Players)
    Out.insert(Out.end(), P.begin(), P.end());
  Out.resize(4 + 440, 0);
  return Out;
}

inline TBytes LoginDone(const std::string& Banner = "", const std::string& Link = "") {
  TByteWriter W;
  W.ShortString(Banner, 255);
  if (!Link.empty())
    W.Terminated(Link);
  return W.Data();
}

} // namespace orlavonix::testing
