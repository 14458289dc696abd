#include <gtest/gtest.h>

#include <functional>

#include "protocol/ClientProtocol.h"
#include "protocol/ClientProtocolTypes.h"
#include "support/ClientHarness.h"

using namespace orlavonix;
using namespace orlavonix::testing;

namespace {
// Takes the client's next command packets off the carrier and acknowledges
// them, so that the window never fills.
class TCarrier {
public:
  explicit TCarrier(TClientHarness& H) : FH(H) {}

  // The next command packet(s) the client sent, fragments in order.
  std::vector<TBytes> Next(size_t Count = 1) {
    std::vector<TBytes> Out;
    auto IsNewCommand = [this](const TRecord& R) {
      if (TEventLog::KindOf(R) != cb_SendPacket)
        return false;
      auto S = TEventLog::As<TcbSendPacket>(R);
      return S.Size >= 24 && GetLE<uint16_t>(S.Data) == PacketClassCommand;
    };
    EXPECT_TRUE(FH.Log.WaitFor(IsNewCommand, FSeen + Count));
    size_t N = 0;
    for (auto& R : FH.Log.All()) {
      if (!IsNewCommand(R))
        continue;
      if (N++ < FSeen)
        continue;
      auto S = TEventLog::As<TcbSendPacket>(R);
      TBytes B(S.Data, S.Data + S.Size);
      FH.SendRaw(*Ack(FH.Me, FH.Conn, GetLE<uint32_t>(B.data() + 12)));
      Out.push_back(B);
    }
    FSeen += Out.size();
    return Out;
  }
  size_t Seen() const { return FSeen; }

private:
  TClientHarness& FH;
  size_t FSeen = 0;
};

TBytes Payload(const TBytes& Packet) {
  return TBytes(Packet.begin() + 24, Packet.end());
}
} // namespace

TEST(ClientRequests, LayoutsByteForByte) {
  TClientHarness H;
  ASSERT_EQ(H.Login(), 0);
  TCarrier Wire(H);
  Wire.Next(); // LoginStep3
  TClient& C = *H.Client;
  auto SS = [](const std::string& S) {
    TByteWriter W;
    W.ShortString(S, 29);
    return W.Data();
  };
  auto Z = [](const std::string& S) {
    TBytes B(S.begin(), S.end());
    B.push_back(0);
    return B;
  };
  auto LE32 = [](uint32_t V) { return U32Bytes(V); };
  auto LE16 = [](uint16_t V) { return TBytes{static_cast<uint8_t>(V), static_cast<uint8_t>(V >> 8)}; };
  struct Case {
    int16_t Type;
    std::function<void()> Call;
    TBytes Expected;
  };
  std::vector<Case> Cases = {
      {201, [&] { C.ChannelCreate(0x0A, 7, 20, 3200, -1, std::string(40, 'n'), "t", "p", "d"); },
       Concat({LE32(0), LE16(0x0A), LE16(7), LE32(0xFFFFFFFF), LE16(3200), LE16(20),
               Z(std::string(30, 'n')), Z("t"), Z("d"), Z("p")})},
      {203, [&] { C.ChannelSetPassword(5, "pw"); }, Concat({LE32(5), SS("pw")})},
      {205, [&] { C.ChannelSetFlagsCodec(5, 3, 9); }, Concat({LE32(5), LE16(3), LE16(9)})},
      {206, [&] { C.ChannelSetName(5, "Name"); }, Concat({LE32(5), Z("Name")})},
      {207, [&] { C.ChannelSetTopic(5, ""); }, Concat({LE32(5), Z("")})},
      {208, [&] { C.ChannelSetDescription(5, std::string(5000, 'd')); },
       Concat({LE32(5), Z(std::string(4096, 'd'))})},
      {209, [&] { C.ChannelDelete(5); }, LE32(5)},
      {210, [&] { C.ChannelSetMaxUsers(5, 9); }, Concat({LE32(5), LE16(9)})},
      {212, [&] { C.ChannelSetOrder(5, 4); }, Concat({LE32(5), LE16(4)})},
      {301, [&] { C.PlayerKickFromServer(9, "bye"); }, Concat({LE32(9), SS("bye")})},
      {302, [&] { C.PlayerKickFromChannel(9, std::string(35, 'r')); },
       Concat({LE32(9), SS(std::string(29, 'r'))})},
      {304, [&] { C.PlayerSetFlags(0x48); }, LE16(0x48)},
      {305, [&] { C.PlayerRequestVoice("why"); }, SS("why")},
      {306, [&] { C.PlayerSetChannelPrivilege(9, grGrant, pcpAutoVoice); },
       Concat({LE32(9), TBytes{0, 4}})},
      {307, [&] { C.PlayerSetPrivilege(9, grRevoke, ppServerAdmin); },
       Concat({LE32(9), TBytes{2, 0}})},
      {308, [&] { C.PlayerRegister("log", "pass"); }, Concat({SS("log"), SS("pass")})},
      {310, [&] { C.PlayerAdminRegister("log", "pass", true); },
       Concat({SS("log"), SS("pass"), TBytes{1}})},
      {320, [&] { C.PlayerMutePlayer(9, true); }, Concat({LE32(9), TBytes{1}})},
      {324, [&] { C.BanIpAdd(60, "1.2.3.4"); }, Concat({LE16(60), Z("1.2.3.4")})},
      {325, [&] { C.PlayerBan(9, 0, "spam"); }, Concat({LE32(9), LE16(0), SS("spam")})},
      {326, [&] { C.BanIpDelete("1.2.3.4"); }, Z("1.2.3.4")},
      {330, [&] { C.PlayerMoveToChannel(9, 3); }, Concat({LE32(9), LE32(3)})},
      {340, [&] { C.SetDownloadLimit(-1); }, LE32(0xFFFFFFFF)},
      {400, [&] { C.InfoRequestPlayerConnectionInfo(9); }, LE32(9)},
      {405, [&] { C.InfoRequestServerInfo(); }, {}},
      {410, [&] { C.InfoRequestBanIpList(); }, {}},
      {430, [&] { C.SendTextMessage("hi", 0xFF, 0, 0); },
       Concat({LE32(0xFF), TBytes{0}, LE32(0), Z("hi")})},
  };
  for (auto& K : Cases) {
    K.Call();
    // Longer commands leave in pieces of 536 bytes behind a copy of the header.
    const size_t Body = K.Expected.size();
    const size_t Pieces = 24 + Body <= 560 ? 1 : (Body + 535) / 536;
    auto P = Wire.Next(Pieces);
    ASSERT_EQ(P.size(), Pieces) << K.Type;
    TBytes Joined;
    for (size_t I = 0; I < Pieces; ++I) {
      EXPECT_TRUE(IsCommandOfType(P[I], K.Type)) << K.Type;
      EXPECT_EQ(GetLE<uint32_t>(P[I].data() + 8), H.Me);
      EXPECT_EQ(P[I][18], Pieces - 1 - I);
      Joined.insert(Joined.end(), P[I].begin() + 24, P[I].end());
    }
    EXPECT_EQ(Joined, K.Expected) << K.Type;
  }
}

TEST(ClientRequests, LongTextTravelsInFragments) {
  TClientHarness H;
  ASSERT_EQ(H.Login(), 0);
  TCarrier Wire(H);
  Wire.Next();
  std::string Text(2000, 'q');
  H.Client->SendTextMessage(Text, 0, 0, 0);
  // 2034 bytes: 2010 behind the header, in pieces of 536.
  auto F = Wire.Next(4);
  ASSERT_EQ(F.size(), 4u);
  TBytes Joined;
  for (size_t I = 0; I < 4; ++I) {
    EXPECT_EQ(F[I][18], 3 - I);
    Joined.insert(Joined.end(), F[I].begin() + 24, F[I].end());
  }
  EXPECT_EQ(Joined.size(), 2010u);
  EXPECT_EQ(std::string(Joined.begin() + 9, Joined.end() - 1), Text);
}

TEST(ClientRequests, SwitchStoresThePasswordOnTheTopLevelChannel) {
  TClientHarness H;
  ASSERT_EQ(H.Login(), 0);
  H.Client->HandleCommand(*Command(
      6, H.Me, H.Conn, 0, ChannelList({ChannelWire(2, "Games", -1, 8), ChannelWire(3, "Chess", 2)})));
  TCarrier Wire(H);
  Wire.Next();
  H.Client->PlayerSwitchChannel(3, std::string(40, 'k'));
  auto P = Wire.Next();
  EXPECT_EQ(Payload(P[0]), Concat({U32Bytes(3), [] {
                                     TByteWriter W;
                                     W.ShortString(std::string(29, 'k'), 29);
                                     return W.Data();
                                   }()}));
  TChannelRecord Top;
  ASSERT_TRUE(H.Client->GetChannel(2, Top));
  EXPECT_EQ(GetShortString(Top.Password, 29), std::string(29, 'k'));
}

TEST(ClientRequests, LocalCopiesOfTextMessages) {
  TClientHarness H;
  ASSERT_EQ(H.Login(), 0);
  H.Client->HandleCommand(*Command(
      6, H.Me, H.Conn, 0, ChannelList({ChannelWire(1, "Lobby"), ChannelWire(4, "Quiet")})));
  H.Client->HandleCommand(*Command(
      7, H.Me, H.Conn, 0,
      PlayerList({PlayerWire(H.Me, 1, "me"), PlayerWire(9, 1, std::string(29, 'p'))})));
  H.Log.Clear();
  struct Case {
    uint8_t Kind;
    uint32_t Target;
    const char* Echo; // nullptr: no copy
  } Cases[] = {{2, 9, "ppppppppppppppppppppppppppppp"},
               {2, 77, nullptr},
               {1, 1, nullptr},
               {1, 4, "Quiet"},
               {1, 88, nullptr},
               {0, 0, nullptr}};
  for (auto& C : Cases) {
    H.Log.Clear();
    H.Client->SendTextMessage("hello", 0x00FF00, C.Kind, C.Target);
    auto Copies = H.Log.OfKind(cb_TextMessage);
    ASSERT_EQ(Copies.size(), C.Echo ? 1u : 0u) << int(C.Kind) << " " << C.Target;
    if (C.Echo) {
      auto E = TEventLog::As<TcbTextMessage>(Copies[0]);
      EXPECT_EQ(V(E.MessageKind), mkLocalCopy);
      EXPECT_STREQ(E.Sender, C.Echo);
      EXPECT_STREQ(E.Text, "hello");
      EXPECT_EQ(V(E.Colour), 0x00FF00u);
    }
  }
}

TEST(ClientRequests, NothingIsSentWithoutAConnectionOrWhileClosing) {
  TClientHarness H;
  H.Client->PlayerSetFlags(1);
  H.Client->SendTextMessage("x", 0, 2, 9);
  ASSERT_EQ(H.Login(), 0);
  TCarrier Wire(H);
  Wire.Next();
  EXPECT_EQ(Wire.Seen(), 1u) << "only LoginStep3 went out";
  H.Client->Shutdown();
  H.Log.Clear();
  H.Client->PlayerSetFlags(1);
  H.Client->SendTextMessage("x", 0, 0, 0);
  EXPECT_TRUE(H.Log.All().empty());
}
