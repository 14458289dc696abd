// The client against the bundled test server over real UDP on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/ClientProtocol.h"
#include "protocol/ClientProtocolTypes.h"
#include "support/ClientHarness.h"
#include "support/TestServerProcess.h"

using namespace orlavonix;
using namespace orlavonix::testing;

namespace {
constexpr uint8_t ProgramOptions = coResend | coKeepAlive | coDoTransport | coClientDoesLogin;

struct TLiveClient {
  TEventLog Log;
  std::unique_ptr<TClient> Client = std::make_unique<TClient>(Log.Callback(), ProgramOptions);
  std::string ErrorText;

  int32_t Connect(uint16_t Port, const std::string& Nick, bool Anonymous = true,
                  const std::string& Login = "", const std::string& Password = "",
                  const std::string& Host = "127.0.0.1") {
    return Client->Connect(Host, Port, Nick, Login, Password, "", "", "", Anonymous, false, 0,
                           ErrorText);
  }
  // Connects and waits for the end of the login.
  void Join(TTestServerProcess& S, const std::string& Nick) {
    ASSERT_EQ(Connect(S.UdpPort(), Nick), 0) << ErrorText;
    ASSERT_TRUE(Log.WaitForKind(cb_initDone)) << Nick;
  }
  uint32_t Channel(const std::string& Name) {
    for (auto& C : Client->ListChannels())
      if (ChannelName(C.Info) == Name)
        return C.Info.Id;
    ADD_FAILURE() << "no channel " << Name;
    return 0;
  }
  uint32_t PlayerId(const std::string& Nick) {
    for (auto& P : Client->ListPlayers())
      if (PlayerNick(P) == Nick)
        return P.Id;
    return 0;
  }
  template <typename T> std::vector<T> Records(int32_t Kind) {
    std::vector<T> Out;
    for (auto& R : Log.OfKind(Kind))
      Out.push_back(TEventLog::As<T>(R));
    return Out;
  }
};

std::unique_ptr<TTestServerProcess> StartServer(std::vector<std::string> Args = {},
                                                std::string Config = "") {
  auto S = std::make_unique<TTestServerProcess>(std::move(Args), std::move(Config));
  EXPECT_TRUE(S->Start()) << S->Error();
  return S;
}

int64_t ServerPlayerCount(TTestServerProcess& S) {
  int64_t N = -1;
  std::string R = S.Control(R"({"cmd":"state","summary":true})");
  auto At = R.find("\"players\"");
  if (At != std::string::npos)
    JsonNumber(R.substr(At), "count", N);
  return N;
}

// The client's own state follows an event a moment after it is raised.
bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs = 5000) {
  for (int Waited = 0; !Done(); Waited += 10) {
    if (Waited >= TimeoutMs)
      return false;
    usleep(10000);
  }
  return true;
}

bool IsCloseWithReason(const TRecord& R, uint16_t Reason) {
  return TEventLog::KindOf(R) == cb_close && V(TEventLog::As<TcbClose>(R).Reason) == Reason;
}
} // namespace

TEST(ClientWithServer, AnonymousLoginFillsTheRegistryInOrderAndDisconnects) {
  auto S = StartServer();
  TLiveClient A;
  A.Join(*S, "alice");
  auto K = A.Log.Kinds();
  ASSERT_GE(K.size(), 4u);
  EXPECT_EQ(K.front(), cb_connecting);
  EXPECT_EQ(K.back(), cb_initDone);
  // Channels first, then players, nothing else in between.
  size_t I = 1;
  while (I < K.size() && K[I] == cb_NewChannel)
    ++I;
  EXPECT_EQ(I - 1, 6u) << "the demo server's six channels";
  size_t Players = 0;
  while (I < K.size() && K[I] == cb_NewPlayer)
    ++I, ++Players;
  EXPECT_EQ(Players, 1u);
  EXPECT_EQ(I, K.size() - 1);

  EXPECT_EQ(A.Client->State(), csConnected);
  EXPECT_EQ(A.Client->ChannelId(), static_cast<int32_t>(A.Channel("Lobby")));
  EXPECT_EQ(A.Client->GetPlayerNick(A.Client->PlayerId()), "alice");
  EXPECT_EQ(A.Client->ServerAddress(), "127.0.0.1:" + std::to_string(S->UdpPort()));
  EXPECT_EQ(A.Client->ServerHost(), "127.0.0.1:" + std::to_string(S->UdpPort()));
  uint32_t Red = A.Channel("Red");
  TChannelRecord RedRecord;
  ASSERT_TRUE(A.Client->GetChannel(Red, RedRecord));
  EXPECT_EQ(RedRecord.Info.ParentId, static_cast<int32_t>(A.Channel("Teams")));

  A.Client->Disconnect();
  EXPECT_EQ(A.Client->State(), csIdle);
  ASSERT_TRUE(A.Log.WaitForKind(cb_Idle));
  EXPECT_TRUE(A.Log.WaitFor([](const TRecord& R) { return IsCloseWithReason(R, crClosed); }));
  EXPECT_TRUE(A.Client->ListPlayers().empty());
  // The server saw the logout.
  EXPECT_TRUE(WaitUntil([&] { return ServerPlayerCount(*S) == 0; }));

  // The same client connects again.
  A.Log.Clear();
  A.Join(*S, "alice");
  EXPECT_EQ(A.Client->State(), csConnected);
}

TEST(ClientWithServer, RegisteredLoginsAndRefusals) {
  auto S = StartServer();
  TLiveClient Admin;
  ASSERT_EQ(Admin.Connect(S->UdpPort(), "boss", false, "admin", "admin"), 0) << Admin.ErrorText;
  ASSERT_TRUE(Admin.Log.WaitForKind(cb_initDone));
  EXPECT_TRUE(HasFlag(Admin.Client->PlayerPrivileges(), ppServerAdmin));
  EXPECT_TRUE(HasFlag(Admin.Client->PlayerPrivileges(), ppRegistered));

  struct Case {
    const char* Nick;
    bool Anonymous;
    const char* Login;
    const char* Password;
    int32_t Expected;
  } Cases[] = {{"x", false, "admin", "wrong", -21},
               {"y", false, "nobody", "pw", -21},
               {"boss", true, "", "", -116},
               {"z", false, "admin", "admin", -23}};
  for (const Case& C : Cases) {
    TLiveClient T;
    EXPECT_EQ(T.Connect(S->UdpPort(), C.Nick, C.Anonymous, C.Login, C.Password), C.Expected)
        << C.Nick;
    EXPECT_FALSE(T.ErrorText.empty()) << "the server's refusal text";
    EXPECT_EQ(T.Client->State(), csIdle);
    EXPECT_TRUE(T.Log.Kinds().empty());
  }
}

// A server on the same machine may answer before Connect has finished
// sending; its reply must still be taken.
TEST(ClientLogin, AnImmediateReplyIsNeverMissed) {
  int Fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr), 0);
  socklen_t Len = sizeof Addr;
  getsockname(Fd, reinterpret_cast<sockaddr*>(&Addr), &Len);
  timeval Tick{0, 100000};
  setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &Tick, sizeof Tick);
  TLoginReplySpec Refusal;
  Refusal.Result = -21;
  const TBytes Reply = LoginReplyBytes(Refusal);
  std::atomic<bool> Stop{false};
  std::thread Responder([&] {
    uint8_t Buf[1024];
    while (!Stop) {
      sockaddr_in From{};
      socklen_t FromLen = sizeof From;
      ssize_t N = recvfrom(Fd, Buf, sizeof Buf, 0, reinterpret_cast<sockaddr*>(&From), &FromLen);
      if (N == 180) // a login request: answer at once
        sendto(Fd, Reply.data(), Reply.size(), 0, reinterpret_cast<sockaddr*>(&From), FromLen);
    }
  });
  TLiveClient T;
  for (int I = 0; I < 40; ++I)
    ASSERT_EQ(T.Connect(ntohs(Addr.sin_port), "quick"), -21) << "attempt " << I;
  Stop = true;
  Responder.join();
  close(Fd);
}

TEST(ClientWithServer, ConnectFailures) {
  auto Old = StartServer({"--version-string", "2.0.16.0"});
  TLiveClient A;
  EXPECT_EQ(A.Connect(Old->UdpPort(), "a"), -19);

  // A port nobody listens on answers with a reset at once.
  int Fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr), 0);
  socklen_t Len = sizeof Addr;
  getsockname(Fd, reinterpret_cast<sockaddr*>(&Addr), &Len);
  close(Fd);
  EXPECT_EQ(A.Connect(ntohs(Addr.sin_port), "a"), -20);

  EXPECT_EQ(A.Connect(1, "a", true, "", "", "no-such-host.invalid"), -14);

  // A server that never answers: frozen from the start.
  auto Frozen = StartServer({"--freeze"});
  EXPECT_EQ(A.Connect(Frozen->UdpPort(), "a"), -11);
  EXPECT_EQ(A.Client->State(), csIdle);
  EXPECT_TRUE(A.Log.Kinds().empty());
}

TEST(ClientWithServer, SwitchTextFlagsPrivilegesAndKicks) {
  auto S = StartServer();
  TLiveClient A, B, Admin;
  A.Join(*S, "alice");
  B.Join(*S, "bob");
  ASSERT_EQ(Admin.Connect(S->UdpPort(), "boss", false, "admin", "admin"), 0);
  ASSERT_TRUE(Admin.Log.WaitForKind(cb_initDone));
  const uint32_t AliceId = A.Client->PlayerId();
  const uint32_t BobId = B.Client->PlayerId();
  ASSERT_TRUE(A.Log.WaitFor([&](const TRecord& R) {
    return TEventLog::KindOf(R) == cb_NewPlayer &&
           V(TEventLog::As<TcbNewPlayer>(R).PlayerId) == BobId;
  }));

  // Switching channel: both see it.
  const uint32_t Red = A.Channel("Red");
  A.Client->PlayerSwitchChannel(Red, "");
  auto Switched = [&](const TRecord& R) {
    return TEventLog::KindOf(R) == cb_PlayerSwitchChannel &&
           V(TEventLog::As<TcbPlayerSwitchChannel>(R).PlayerId) == AliceId;
  };
  ASSERT_TRUE(A.Log.WaitFor(Switched));
  ASSERT_TRUE(B.Log.WaitFor(Switched));
  EXPECT_TRUE(WaitUntil([&] { return A.Client->ChannelId() == static_cast<int32_t>(Red); }));
  EXPECT_EQ(A.Client->ChannelParentId(), static_cast<int32_t>(A.Channel("Teams")));

  // 2000 characters each way travel fragmented.
  std::string Long(2000, 'x');
  for (size_t I = 0; I < Long.size(); ++I)
    Long[I] = static_cast<char>('a' + I % 26);
  A.Client->SendTextMessage(Long, 0x0000FF, 2, BobId);
  ASSERT_TRUE(B.Log.WaitForKind(cb_TextMessage));
  auto Got = B.Records<TcbTextMessage>(cb_TextMessage)[0];
  EXPECT_EQ(std::string(Got.Text), Long);
  EXPECT_STREQ(Got.Sender, "alice");
  EXPECT_EQ(V(Got.MessageKind), 2);
  auto Copy = A.Records<TcbTextMessage>(cb_TextMessage);
  ASSERT_EQ(Copy.size(), 1u);
  EXPECT_EQ(V(Copy[0].MessageKind), mkLocalCopy);
  EXPECT_STREQ(Copy[0].Sender, "bob");
  std::string Reply(2000, 'r');
  ASSERT_FALSE(S->Control(R"({"cmd":"text","kind":2,"target":)" + std::to_string(AliceId) +
                          R"(,"from":"ops","text":")" + Reply + "\"}")
                   .empty());
  ASSERT_TRUE(A.Log.WaitForKind(cb_TextMessage, 2));
  EXPECT_EQ(std::string(A.Records<TcbTextMessage>(cb_TextMessage)[1].Text), Reply);

  // Own flags, and a privilege granted from outside.
  A.Client->PlayerSetFlags(Bit(pfAway));
  ASSERT_TRUE(A.Log.WaitForKind(cb_PlayerFlagsChanged));
  EXPECT_TRUE(WaitUntil([&] { return A.Client->PlayerFlags() == Bit(pfAway); }));
  S->Control(R"({"cmd":"grant","player":)" + std::to_string(AliceId) +
             R"(,"privilege":"ppCanRegister"})");
  ASSERT_TRUE(A.Log.WaitForKind(cb_PlayerPrivilegeChanged));
  EXPECT_TRUE(WaitUntil([&] { return HasFlag(A.Client->PlayerPrivileges(), ppCanRegister); }));

  // Kicked from the channel by the admin, then from the server.
  Admin.Client->PlayerKickFromChannel(AliceId, "out");
  ASSERT_TRUE(A.Log.WaitFor([&](const TRecord& R) {
    return Switched(R) && V(TEventLog::As<TcbPlayerSwitchChannel>(R).Kicked) == 1;
  }));
  const int32_t Lobby = static_cast<int32_t>(A.Channel("Lobby"));
  EXPECT_TRUE(WaitUntil([&] { return A.Client->ChannelId() == Lobby; }));
  S->Control(R"({"cmd":"kick","player":)" + std::to_string(BobId) + R"(,"reason":"bye"})");
  ASSERT_TRUE(B.Log.WaitForKind(cb_Idle));
  auto Close = B.Records<TcbClose>(cb_close);
  ASSERT_EQ(Close.size(), 1u);
  EXPECT_EQ(V(Close[0].Reason), crKickedFromServer);
  EXPECT_STREQ(Close[0].ReasonText, "bye");
  EXPECT_EQ(B.Log.Kinds().back(), cb_Idle);
}

TEST(ClientWithServer, ShutDownAndTimeOut) {
  auto S = StartServer();
  TLiveClient A, F;
  A.Join(*S, "alice");
  S->Control(R"({"cmd":"shutdown","grace":1})");
  ASSERT_TRUE(A.Log.WaitForKind(cb_Idle));
  EXPECT_EQ(A.Log.OfKind(cb_close).size(), 1u);
  EXPECT_TRUE(
      A.Log.WaitFor([](const TRecord& R) { return IsCloseWithReason(R, crServerShutDown); }));
  EXPECT_TRUE(S->WaitExit(10000));

  auto T = StartServer();
  F.Client->SetConnectionTimeouts(2000, 1500);
  F.Join(*T, "frozen");
  T->Control(R"({"cmd":"faults","freeze":true})");
  ASSERT_TRUE(F.Log.WaitForKind(cb_Idle, 1, 10000));
  auto K = F.Log.Kinds();
  ASSERT_GE(K.size(), 2u);
  EXPECT_EQ(K[K.size() - 2], cb_close);
  EXPECT_EQ(K.back(), cb_Idle);
  EXPECT_TRUE(IsCloseWithReason(F.Log.OfKind(cb_close)[0], crTimedOut));
  EXPECT_EQ(F.Client->State(), csIdle);
}

TEST(ClientWithServer, RequestsArriveCompleteAndInOrderUnderFaults) {
  auto S = StartServer({"--seed", "7"});
  TLiveClient A;
  A.Join(*S, "alice");
  std::string Faults =
      S->Control(R"({"cmd":"faults","in":{"drop":0.1,"duplicate":0.05,"reorder":0.1},)"
                 R"("out":{"drop":0.1,"duplicate":0.05,"reorder":0.1}})");
  ASSERT_NE(Faults.find("\"ok\": true"), std::string::npos) << Faults;
  const uint32_t Me = A.Client->PlayerId();
  std::vector<uint16_t> Sent;
  for (int I = 0; I < 200; ++I) {
    // Consecutive values always differ, so every request changes something.
    uint16_t Flags = static_cast<uint16_t>((I % 2 == 0 ? Bit(pfAway) : Bit(pfNoWhisper)) |
                                           ((I / 2) % 2 ? Bit(pfRecording) : 0));
    Sent.push_back(Flags);
    A.Client->PlayerSetFlags(Flags);
  }
  auto Mine = [Me](const TRecord& R) {
    return TEventLog::KindOf(R) == cb_PlayerFlagsChanged &&
           V(TEventLog::As<TcbPlayerFlagsChanged>(R).PlayerId) == Me;
  };
  ASSERT_TRUE(A.Log.WaitFor(Mine, 200, 60000));
  std::vector<uint16_t> Seen;
  for (auto& R : A.Log.All())
    if (Mine(R))
      Seen.push_back(TEventLog::As<TcbPlayerFlagsChanged>(R).NewFlags);
  EXPECT_EQ(Seen, Sent);
  EXPECT_EQ(A.Client->State(), csConnected);
  auto Stats = A.Client->GetStatistics();
  EXPECT_GT(Stats.PacketsSent, 200);
}
