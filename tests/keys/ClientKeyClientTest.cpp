// The key bindings over a real connection object: what they read from its
// registry, and what their push-to-talk, whisper and switch actions make it
// send.
#include <gtest/gtest.h>

#include "KeyClientFixture.h"
#include "KeyFakes.h"
#include "keys/ClientKeyPressBase.h"

namespace orlavonix::test {
namespace {

constexpr uint8_t KeyP = 40; // keyboard codes as the sampler reports them
constexpr uint8_t KeyW = 41;

std::string Describe(const std::vector<TKeyChannel>& Channels) {
  std::string S;
  for (const auto& C : Channels)
    S += std::to_string(C.Id) + "<" + std::to_string(C.ParentId) + ":" + C.Name + " ";
  return S;
}
std::string Describe(const std::vector<TKeyPlayer>& Players) {
  std::string S;
  for (const auto& P : Players)
    S += std::to_string(P.Id) + "@" + std::to_string(P.ChannelId) + "/" + std::to_string(P.Flags) +
         ":" + P.Nick + " ";
  return S;
}

TEST(ClientKeyClient, ViewsFollowTheClientsRegistryAndOwnState) {
  TKeyClientRig R;
  EXPECT_FALSE(R.Adapter.IsConnected());
  EXPECT_EQ(R.Adapter.LastWhisperer(), -1);
  ASSERT_EQ(R.H.Login(), 0);
  EXPECT_FALSE(R.Adapter.IsConnected()) << "logging in is not logged in";
  ASSERT_TRUE(R.FinishLogin());
  EXPECT_TRUE(R.Adapter.IsConnected());

  EXPECT_EQ(Describe(R.Adapter.ListChannels()), "1<-1:Lobby 2<1:Sub 3<1:Other Sub 4<-1:Far ");
  EXPECT_EQ(Describe(R.Adapter.ListPlayers()), "5@2/0:me 9@1/1:other 10@3/1:third 11@4/0:far ");
  EXPECT_EQ(R.Adapter.OwnPlayerId(), TKeyClientRig::Me);
  EXPECT_EQ(R.Adapter.OwnChannelId(), 2);
  EXPECT_EQ(R.Adapter.OwnChannelParentId(), 1);

  // Whispered voice names its sender as the last whisperer; plain voice does not.
  R.H.Client->HandleVoicePacket(ServerVoice(TKeyClientRig::Me, TClientHarness::Conn, 1, 11,
                                            TKeyClientRig::Codec, 0, 1, 0, {5, 1, 2, 3}));
  EXPECT_EQ(R.Adapter.LastWhisperer(), -1);
  R.H.Client->HandleVoicePacket(ServerVoice(TKeyClientRig::Me, TClientHarness::Conn, 2, 9,
                                            TKeyClientRig::Codec, 1, 2, 0, {5, 1, 2, 3}));
  EXPECT_EQ(R.Adapter.LastWhisperer(), 9);

  R.H.Client->CloseCon();
  EXPECT_FALSE(R.Adapter.IsConnected());
}

// Each case: one held whisper binding on KeyW; while it is held, captured
// sound leaves as whispered voice carrying exactly the expected target block.
TEST(ClientKeyClient, WhisperBindingsReachTheTransmitPathWithTheirTargets) {
  struct {
    int32_t Action;
    const char* Params;
    TBytes Block;
  } const Cases[] = {
      // Last to first, case-insensitive, never the user himself.
      {kaWhisperToPlayers, "OTHER\r\nme\r\nfar", {2, 1, 11, 0, 0, 0, 1, 9, 0, 0, 0}},
      {kaWhisperToChannels, "lobby\r\nother sub", {2, 0, 3, 0, 0, 0, 0, 1, 0, 0, 0}},
      {kaWhisperParentChannel, "", {1, 0, 1, 0, 0, 0}},
      {kaWhisperChannelFamily, "", {3, 0, 1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 3, 0, 0, 0}},
      {kaWhisperCommandersSub, "", {1, 1, 10, 0, 0, 0}},
      {kaWhisperCommandersFamily, "", {2, 1, 9, 0, 0, 0, 1, 10, 0, 0, 0}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE("action " + std::to_string(C.Action));
    TKeyClientRig R;
    ASSERT_TRUE(R.Login());
    R.H.Client->snd_SetPushToTalk(true); // and never pressed: only whispers send
    TTestKeyPress Press(&R.Adapter, nullptr);
    Press.AssignInterceptor(1);
    Press.AddCombo(MakeCombo(Kb(KeyW), NoKey(), NoKey(), C.Action, C.Params));
    EXPECT_EQ(R.Feed(2), 0);

    Press.Keys().Key(itKeyboard, KeyW, true);
    EXPECT_EQ(R.Feed(4), 4); // 2976 samples: three packets of 800
    ASSERT_TRUE(R.WaitVoice(3));
    const auto Sent = R.Voice();
    ASSERT_EQ(Sent.size(), 3u);
    for (const auto& V : Sent) {
      EXPECT_EQ(V.Flags & 1, 1);
      ASSERT_GT(V.Rest.size(), C.Block.size());
      EXPECT_EQ(TBytes(V.Rest.begin(), V.Rest.begin() + long(C.Block.size())), C.Block);
    }

    Press.Keys().Key(itKeyboard, KeyW, false);
    EXPECT_EQ(R.Feed(4), 0) << "released: nothing more is taken or sent";
    EXPECT_EQ(R.Voice().size(), Sent.size());
  }
}

TEST(ClientKeyClient, PushToTalkKeyGatesTheVoiceAndSwitchActionSendsItsRequest) {
  TKeyClientRig R;
  ASSERT_TRUE(R.Login());
  R.H.Client->snd_SetPushToTalk(true);
  TTestKeyPress Press(&R.Adapter, nullptr);
  Press.AssignInterceptor(1);
  Press.SetPushToTalkKey(itKeyboard, KeyP);
  EXPECT_EQ(R.Feed(2), 0);

  Press.Keys().Key(itKeyboard, KeyP, true);
  EXPECT_EQ(R.Feed(2), 2); // 1488 samples: one packet of 800
  ASSERT_TRUE(R.WaitVoice(1));
  ASSERT_EQ(R.Voice().size(), 1u);
  EXPECT_EQ(R.Voice()[0].Flags, 0) << "plain voice, no target block";
  Press.Keys().Key(itKeyboard, KeyP, false);
  EXPECT_EQ(R.Feed(2), 0);
  EXPECT_EQ(R.Voice().size(), 1u);

  // "switch to channel" resolves the name against the registry and asks the
  // server, with the password from the second line.
  Press.AddCombo(MakeCombo(Kb(KeyW), NoKey(), NoKey(), kaSwitchToChannel, "OTHER SUB\r\npw"));
  Press.Keys().Key(itKeyboard, KeyW, true);
  ASSERT_TRUE(R.H.Log.WaitFor([](const TRecord& Rec) {
    if (TEventLog::KindOf(Rec) != cb_SendPacket)
      return false;
    auto S = TEventLog::As<TcbSendPacket>(Rec);
    return IsCommandOfType(TBytes(S.Data, S.Data + S.Size), 303);
  }));
  for (const auto& B : SentPackets(R.H.Log))
    if (IsCommandOfType(B, 303)) {
      ASSERT_GE(B.size(), 24u + 4 + 30);
      EXPECT_EQ(GetLE<uint32_t>(B.data() + 24), 3u);
      EXPECT_EQ(GetShortString(B.data() + 28, 29), "pw");
    }
}

TEST(ClientKeyClient, LastWhispererBoundToAPresetBecomesAWhisperTarget) {
  TKeyClientRig R;
  ASSERT_TRUE(R.Login());
  TTestKeyPress Press(&R.Adapter, nullptr);
  Press.AssignInterceptor(1);
  Press.AddCombo(MakeCombo(Kb(KeyP), NoKey(), NoKey(), kaBindLastWhisperer, "4"));
  Press.AddCombo(MakeCombo(Kb(KeyW), NoKey(), NoKey(), kaWhisperToPreset, "4"));
  R.H.Client->HandleVoicePacket(ServerVoice(TKeyClientRig::Me, TClientHarness::Conn, 1, 10,
                                            TKeyClientRig::Codec, 1, 1, 0, {5, 1, 2, 3}));
  Press.Keys().Key(itKeyboard, KeyP, true);
  Press.Keys().Key(itKeyboard, KeyP, false);
  EXPECT_EQ(Press.Preset("4"), "third");

  Press.Keys().Key(itKeyboard, KeyW, true);
  EXPECT_EQ(R.Feed(2), 2);
  ASSERT_TRUE(R.WaitVoice(1));
  ASSERT_EQ(R.Voice().size(), 1u);
  const TBytes Block = {1, 1, 10, 0, 0, 0};
  for (const auto& V : R.Voice()) {
    EXPECT_EQ(V.Flags & 1, 1);
    ASSERT_GT(V.Rest.size(), Block.size());
    EXPECT_EQ(TBytes(V.Rest.begin(), V.Rest.begin() + long(Block.size())), Block);
  }
}

} // namespace
} // namespace orlavonix::test
