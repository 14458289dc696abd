#include <gtest/gtest.h>

#include <thread>

#include "protocol/ClientProtocol.h"
#include "protocol/ClientProtocolTypes.h"
#include "support/ClientHarness.h"

using namespace orlavonix;
using namespace orlavonix::testing;

namespace {
// The harness after a successful login with both lists and the end of login.
void FullLogin(TClientHarness& H) {
  ASSERT_EQ(H.Login(), 0);
  H.Send(6, ChannelList({ChannelWire(1, "Lobby"), ChannelWire(2, "Games", -1, Bit(cfHierarchical)),
                         ChannelWire(3, "Chess", 2)}));
  H.Send(7, PlayerList({PlayerWire(H.Me, 1, "me"), PlayerWire(9, 1, "other", Bit(ppRegistered))}));
  H.Send(8, LoginDone("http://banner", "http://link"));
  ASSERT_TRUE(H.Log.WaitForKind(cb_initDone));
}
} // namespace

TEST(ClientCreate, OptionPairsAndConnectWithoutTransport) {
  EXPECT_THROW(TClient(nullptr, coClientDoesLogin), EProtocol);
  EXPECT_THROW(TClient(nullptr, coDoTransport), EProtocol);
  try {
    TClient C(nullptr, coDoTransport);
  } catch (const EProtocol& E) {
    EXPECT_STREQ(E.what(), "coDoTransport needs coClientDoesLogin");
  }
  TClient C(nullptr, coCallbackTransport);
  std::string Err;
  try {
    C.Connect("localhost", 1, "n", "", "", "", "", "", true, false, 0, Err);
    FAIL();
  } catch (const EProtocol& E) {
    EXPECT_STREQ(E.what(), "CoDoTransport not in Client OPtions. This function can not be called");
  }
  EXPECT_FALSE(C.DoCallback("x", 1)) << "no callback registered";
}

TEST(ClientLogin, LoginStep1Layout) {
  TLoginRequest R;
  R.Nickname = "Nick";
  R.LoginName = "login";
  R.Password = std::string(40, 'p');
  R.Anonymous = false;
  R.LoginFlag = true;
  TPacketPtr P = TClient::BuildLoginStep1(R);
  ASSERT_EQ(P->Size(), 180);
  const uint8_t* B = P->Memory();
  EXPECT_EQ(GetLE<uint16_t>(B), PacketClassMaintenance);
  EXPECT_EQ(GetLE<uint16_t>(B + 2), mtLoginStep1);
  EXPECT_EQ(GetLE<uint32_t>(B + 4), 0u);
  EXPECT_EQ(GetLE<uint32_t>(B + 8), 0u);
  EXPECT_EQ(GetLE<uint32_t>(B + 12), 1u);
  EXPECT_EQ(GetShortString(B + 20, 29), "Orlavonix");
  EXPECT_FALSE(GetShortString(B + 50, 29).empty());
  EXPECT_LE(B[50], 29);
  const uint16_t Version[] = {2, 0, 32, 60};
  for (int I = 0; I < 4; ++I)
    EXPECT_EQ(GetLE<uint16_t>(B + 80 + 2 * I), Version[I]);
  EXPECT_EQ(B[88], 1);
  EXPECT_EQ(B[89], 2);
  EXPECT_EQ(GetShortString(B + 90, 29), "login");
  EXPECT_EQ(GetShortString(B + 120, 29), std::string(29, 'p'));
  EXPECT_EQ(GetShortString(B + 150, 29), "Nick");

  R.Anonymous = true;
  P = TClient::BuildLoginStep1(R);
  EXPECT_EQ(P->Memory()[89], 1);
  EXPECT_EQ(P->Memory()[90], 0) << "no login name for an anonymous login";
}

TEST(ClientLogin, AcceptedReplyIsTakenOverAndAnsweredWithLoginStep3) {
  TClientHarness H;
  TLoginReplySpec S;
  S.ServerName = "My Server";
  S.Platform = "Plat";
  S.Message = "Hello there";
  S.ServerType = Bit(stPublic) | Bit(stCommercial);
  S.Codecs = 0x21;
  S.MaxUsers = 50;
  std::fill(std::begin(S.Permissions), std::end(S.Permissions), 0xFF);
  TLoginRequest R;
  R.Channel = "Lobby";
  R.SubChannel = "Sub";
  R.ChannelPassword = std::string(35, 'c');
  H.Client->SetBandwidth(-1, 12);
  ASSERT_EQ(H.Login(S, R), 0);
  EXPECT_EQ(H.Client->State(), csConnecting);
  EXPECT_EQ(H.Client->PlayerId(), V(H.Me));
  EXPECT_EQ(H.Client->ChannelId(), -1);
  EXPECT_EQ(H.Client->ServerName(), "My Server");
  EXPECT_EQ(H.Client->ServerPlatform(), "Plat");
  EXPECT_EQ(H.Client->ServerVersionText(), "2.0.20.1");
  EXPECT_EQ(H.Client->ServerTypeText(), "Public Server Commercial");
  EXPECT_EQ(H.Client->ServerAddress(), "0.0.0.0:0");
  EXPECT_EQ(H.Client->ServerHost(), "nohost:0");
  EXPECT_EQ(H.Client->ServerMaxUsers(), 50u);
  EXPECT_EQ(H.Client->WelcomeMessage(), "Hello there");
  EXPECT_TRUE(H.Client->CodecSupported(5));
  EXPECT_FALSE(H.Client->CodecSupported(1));
  EXPECT_TRUE(H.Client->CodecSupported(32)) << "bit number mod 32";

  // The masks of each user type are cleared; Registered keeps everything.
  auto P = H.Client->Permissions();
  EXPECT_EQ(P[0][1], 0xFF & ~(0xE0)) << "bits 13 to 15";
  EXPECT_EQ(P[0][2], 0xFF & ~(0x01 | 0x08)) << "bits 16 and 19";
  EXPECT_EQ(P[1][0], 0xF8);
  EXPECT_EQ(P[1][1], 0x00);
  EXPECT_EQ(P[1][9], 0xFF & ~0x08) << "bit 75";
  for (int B = 0; B < 11; ++B)
    EXPECT_EQ(P[4][B], 0xFF);
  EXPECT_EQ(P[5][3], 0xFF & ~0x0D) << "bits 24, 26, 27";

  auto C = H.Log.OfKind(cb_connecting);
  ASSERT_EQ(C.size(), 1u);
  auto K2 = TEventLog::As<TcbConnecting>(C[0]);
  EXPECT_STREQ(K2.ServerName, "My Server");
  EXPECT_STREQ(K2.WelcomeMessage, "Hello there");

  ASSERT_TRUE(H.Log.WaitForKind(cb_SendPacket));
  auto Sent = SentPackets(H.Log);
  ASSERT_EQ(Sent.size(), 1u);
  const TBytes& L3 = Sent[0];
  ASSERT_EQ(L3.size(), 120u);
  EXPECT_TRUE(IsCommandOfType(L3, 5));
  EXPECT_EQ(GetLE<uint32_t>(L3.data() + 4), V(H.Conn));
  EXPECT_EQ(GetLE<uint32_t>(L3.data() + 8), V(H.Me));
  EXPECT_EQ(GetLE<uint32_t>(L3.data() + 12), 1u);
  EXPECT_EQ(L3[24], 1);
  EXPECT_EQ(L3[25], 0);
  EXPECT_EQ(GetShortString(L3.data() + 26, 29), "Lobby");
  EXPECT_EQ(GetShortString(L3.data() + 56, 29), "Sub");
  EXPECT_EQ(GetShortString(L3.data() + 86, 29), std::string(29, 'c'));
  EXPECT_EQ(GetLE<int32_t>(L3.data() + 116), 12);
  TPacket Check(L3.data(), 120);
  EXPECT_TRUE(Check.CheckCrc());
  EXPECT_EQ(V(TEventLog::As<TcbSendPacket>(H.Log.OfKind(cb_SendPacket)[0]).Reliable), 1);
}

TEST(ClientLogin, RefusalsGiveTheirResultAndTheServersText) {
  struct Case {
    int32_t LoginResult;
    int32_t Expected;
  } Cases[] = {{-1, -21}, {-21, -21}, {-2, -13}, {-3, -17}, {-4, -116},
               {-5, -18}, {-6, -22},  {-7, -23}, {99, -50}, {0, -50}};
  for (const Case& C : Cases) {
    TClientHarness H;
    TLoginReplySpec S;
    S.Result = C.LoginResult;
    S.Message = "Go away " + std::to_string(C.LoginResult);
    EXPECT_EQ(H.Login(S), V(C.Expected)) << C.LoginResult;
    EXPECT_EQ(V(H.ErrorText), V(S.Message));
    EXPECT_EQ(H.Client->State(), csIdle);
    EXPECT_TRUE(H.Log.Kinds().empty()) << "a failed login raises nothing";
  }
  // An empty refusal text leaves ErrorText alone.
  TClientHarness H;
  TLoginReplySpec S;
  S.Result = -4;
  S.Message = "";
  H.ErrorText = "before";
  EXPECT_EQ(H.Login(S), -116);
  EXPECT_EQ(V(H.ErrorText), "before");
}

TEST(ClientLogin, ServerVersionCheck) {
  struct Case {
    uint16_t Major, Minor, Build;
    int32_t Expected;
  } Cases[] = {{2, 0, 16, -19}, {2, 0, 17, 0}, {2, 1, 20, 0}, {3, 0, 40, -19}, {1, 9, 99, -19}};
  for (const Case& C : Cases) {
    TClientHarness H;
    TLoginReplySpec S;
    S.Version[0] = C.Major;
    S.Version[1] = C.Minor;
    S.Version[2] = C.Build;
    EXPECT_EQ(H.Login(S), V(C.Expected)) << C.Major << "." << C.Minor << "." << C.Build;
    ASSERT_TRUE(H.Log.WaitForKind(cb_SendPacket));
    auto Sent = SentPackets(H.Log);
    ASSERT_EQ(Sent.size(), 1u);
    EXPECT_EQ(Sent[0].size(), 120u);
    EXPECT_TRUE(IsCommandOfType(Sent[0], 5));
    EXPECT_EQ(Sent[0][24], C.Expected == 0 ? 1 : 0) << "refusal has byte 24 = 0";
    EXPECT_EQ(GetLE<uint32_t>(Sent[0].data() + 12), 1u);
    EXPECT_EQ(H.Client->State(), C.Expected == 0 ? csConnecting : csIdle);
  }
}

TEST(ClientLogin, MalformedRepliesAreBadResponses) {
  struct Case {
    size_t Size;
    bool BreakCrc;
    uint16_t Type;
  } Cases[] = {{435, false, 4}, {437, false, 4}, {436, true, 4}, {436, false, 3}, {0, false, 4}};
  for (const Case& C : Cases) {
    TClientHarness H;
    TLoginReplySpec S;
    S.Size = C.Size;
    TBytes B = LoginReplyBytes(S);
    if (B.size() >= 4)
      PutLE<uint16_t>(B.data() + 2, C.Type);
    if (!C.BreakCrc && B.size() == 436) {
      TPacket P(B.data(), 436);
      P.SetCrc();
      std::memcpy(B.data(), P.Memory(), 436);
    } else if (C.BreakCrc) {
      B[300] ^= 1;
    }
    EXPECT_EQ(H.Client->LoginWithReply(B.data(), B.size(), {}, H.ErrorText), -16) << C.Size;
    EXPECT_EQ(H.Client->State(), csIdle);
  }
}

TEST(ClientLogin, LoginListsFillTheRegistryInOrder) {
  TClientHarness H;
  FullLogin(H);
  EXPECT_EQ(H.Client->State(), csConnected);
  std::vector<int32_t> Expected = {cb_connecting, cb_NewChannel, cb_NewChannel, cb_NewChannel,
                                   cb_NewPlayer,  cb_NewPlayer,  cb_initDone};
  EXPECT_EQ(H.Log.Kinds(), Expected);
  EXPECT_EQ(H.Client->ChannelId(), 1);
  EXPECT_EQ(H.Client->ChannelParentId(), -1);
  EXPECT_EQ(H.Client->TransmitCodec(), 5);
  EXPECT_EQ(H.Client->ListChannels().size(), 3u);
  EXPECT_EQ(H.Client->GetPlayerNick(9), "other");
  EXPECT_EQ(H.Client->GetChannelName(3), "Chess");
  EXPECT_EQ(H.Client->BannerUrl(), "http://banner");
  EXPECT_EQ(H.Client->BannerLinkUrl(), "http://link");
  auto Done = TEventLog::As<TcbInitDone>(H.Log.OfKind(cb_initDone)[0]);
  EXPECT_STREQ(Done.BannerUrl, "http://banner");
  EXPECT_STREQ(Done.BannerLinkUrl, "http://link");
  auto NewChannel = TEventLog::As<TcbNewChannel>(H.Log.OfKind(cb_NewChannel)[2]);
  EXPECT_EQ(V(NewChannel.Channel.Id), 3u);
  EXPECT_EQ(V(NewChannel.Channel.ParentId), 2);
  EXPECT_STREQ(NewChannel.Channel.Name, "Chess");
}

TEST(ClientClose, CloseConRaisesCloseAndIdleOnceFromTwoThreads) {
  for (int Round = 0; Round < 5; ++Round) {
    TClientHarness H;
    FullLogin(H);
    std::thread A([&] { H.Client->CloseCon(); });
    std::thread B([&] { H.Client->CloseCon(); });
    A.join();
    B.join();
    H.Client->CloseCon();
    EXPECT_EQ(H.Client->State(), csIdle);
    auto K = H.Log.Kinds();
    ASSERT_GE(K.size(), 2u);
    EXPECT_EQ(K[K.size() - 2], cb_close);
    EXPECT_EQ(K.back(), cb_Idle);
    EXPECT_EQ(H.Log.OfKind(cb_close).size(), 1u);
    EXPECT_EQ(H.Log.OfKind(cb_Idle).size(), 1u);
    auto Close = TEventLog::As<TcbClose>(H.Log.OfKind(cb_close)[0]);
    EXPECT_EQ(V(Close.Reason), crClosed);
    EXPECT_TRUE(H.Client->ListPlayers().empty());
    EXPECT_TRUE(H.Client->ListChannels().empty());
  }
}

TEST(ClientClose, SilentServerTimesOutWithReasonThree) {
  struct Case {
    bool Connected;
    double Quiet;
  } Cases[] = {{false, 2000}, {true, 30000}};
  for (const Case& C : Cases) {
    TClientHarness H;
    if (C.Connected)
      FullLogin(H);
    else
      ASSERT_EQ(H.Login(), 0);
    H.Clock.AdvanceMs(C.Quiet + 60);
    ASSERT_TRUE(H.Log.WaitForKind(cb_Idle));
    auto Close = H.Log.OfKind(cb_close);
    ASSERT_EQ(Close.size(), 1u);
    EXPECT_EQ(V(TEventLog::As<TcbClose>(Close[0]).Reason), crTimedOut);
    auto K = H.Log.Kinds();
    EXPECT_EQ(K.back(), cb_Idle);
    EXPECT_EQ(H.Client->State(), csIdle);
    H.Client->CloseCon();
    EXPECT_EQ(H.Log.OfKind(cb_Idle).size(), 1u) << "a second CloseCon raises nothing";
  }
}

TEST(ClientClose, DisconnectQueuesLogoutAndIdleClientIgnoresIt) {
  TClientHarness H;
  H.Client->Disconnect();
  EXPECT_TRUE(H.Log.All().empty());
  FullLogin(H);
  H.Client->Disconnect();
  EXPECT_TRUE(H.Client->LogoutSent());
  EXPECT_EQ(H.Client->State(), csIdle);
  EXPECT_EQ(H.Log.OfKind(cb_close).size(), 1u);
  // After the end, a new login on the same client works.
  H.Log.Clear();
  H.Seq = 0;
  FullLogin(H);
  EXPECT_EQ(H.Client->State(), csConnected);
}

TEST(ClientState, CodecSupportedWithoutConnection) {
  TClientHarness H;
  for (int32_t C = -1; C <= 14; ++C)
    EXPECT_EQ(H.Client->CodecSupported(C), C >= 0 && C <= 12 && C != 4) << C;
}
