// The sound side of the protocol object: the transmit path with the real
// codec libraries and packet buffer (packets leave through the callback
// carrier), received voice through the mixer, and codec configuration.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "VoiceTestUtil.h"
#include "protocol/ClientProtocol.h"
#include "protocol/ClientProtocolTypes.h"
#include "support/ClientHarness.h"
#include "voice/PlayerSoundData.h"
#include "voice/SoundUtils.h"

namespace orlavonix {
namespace {

using namespace orlavonix::testing;
constexpr uint32_t Me = TClientHarness::Me;
constexpr uint32_t Other = 9;

struct TSentVoice {
  uint8_t Flags;
  uint8_t Codec;
  uint16_t SpeakNr;
  TBytes Rest; // target block and payload
};

class TransmitPath : public ::testing::Test {
protected:
  // Logged in to channel 1 (codec Codec, flags ChannelFlags) with Other there too.
  void Start(uint16_t Codec, uint16_t ChannelFlags = 0, uint16_t MyPrivileges = 0,
             uint16_t MyChannelPrivileges = 0, uint16_t MyFlags = 0) {
    H = std::make_unique<TClientHarness>();
    ASSERT_EQ(H->Login(), 0);
    // Through the packet buffer, which opens the connection for voice with
    // the completion notice.
    H->Send(6, ChannelList({ChannelWire(1, "Lobby", -1, ChannelFlags, Codec),
                            ChannelWire(2, "Sub", 1, 0, Codec)}));
    H->Send(7, PlayerList({PlayerWire(Me, 1, "me", MyPrivileges, MyChannelPrivileges),
                           PlayerWire(Other, 1, "other")}));
    H->Send(8, LoginDone());
    ASSERT_TRUE(H->Log.WaitForKind(cb_initDone));
    ASSERT_EQ(H->Client->State(), csConnected);
    if (MyFlags) {
      TByteWriter W; // the server reports the own flags (type 104)
      W.U32(Me).U16(MyFlags);
      Cmd(104, W.Data());
    }
  }
  void Cmd(int16_t Type, const TBytes& Payload) {
    auto P = Command(Type, Me, TClientHarness::Conn, 0, Payload);
    H->Client->HandleCommand(*P);
  }
  // Feeds Blocks capture blocks of Size samples of a 1 kHz tone.
  int Feed(int Blocks, int Size = 744) {
    int Taken = 0;
    for (int B = 0; B < Blocks; ++B) {
      auto Tone = test::Tone(1000, 8000, Size, FedSamples);
      FedSamples += Size;
      float Level = -1;
      Taken += H->Client->snd_StoreSoundData(Tone.data(), Size, Level) ? 1 : 0;
    }
    return Taken;
  }
  std::vector<TSentVoice> Voice() {
    std::vector<TSentVoice> Out;
    for (auto& B : SentPackets(H->Log))
      if (B.size() >= 16 && GetLE<uint16_t>(B.data()) == PacketClassClientVoice)
        Out.push_back(
            {B[2], B[3], GetLE<uint16_t>(B.data() + 14), TBytes(B.begin() + 16, B.end())});
    return Out;
  }
  // Waits until Count voice packets went out; then checks no more follow.
  std::vector<TSentVoice> VoiceAfter(size_t Count) {
    H->Log.WaitFor(
        [](const TRecord& R) {
          if (TEventLog::KindOf(R) != cb_SendPacket)
            return false;
          auto S = TEventLog::As<TcbSendPacket>(R);
          return S.Size >= 16 && GetLE<uint16_t>(S.Data) == PacketClassClientVoice;
        },
        Count, 5000);
    return Voice();
  }
  std::vector<std::pair<uint32_t, uint8_t>> Talking() {
    std::vector<std::pair<uint32_t, uint8_t>> Out;
    for (auto& R : H->Log.OfKind(cb_SpeakStartStop)) {
      auto T = TEventLog::As<TcbSpeakStartStop>(R);
      Out.emplace_back(T.PlayerId, T.Talking);
    }
    return Out;
  }
  std::unique_ptr<TClientHarness> H;
  int FedSamples = 0;
};

TEST_F(TransmitPath, PacketsLeaveWhenTheCodecBlockIsFull) {
  struct {
    uint16_t Codec;
    int Blocks;
    size_t Packets;
    int PayloadFirstByte; // -1: not checked
  } Cases[] = {{8, 1, 0, 5},  {8, 2, 1, 5},   {8, 5, 4, 5},  {0, 2, 0, -1},
               {0, 3, 1, -1}, {0, 10, 3, -1}, {3, 2, 3, -1}, {12, 4, 3, 5}};
  for (auto& C : Cases) {
    Start(C.Codec);
    H->Client->snd_SetPushToTalk(true);
    H->Client->snd_SetPushToTalkPressed(true);
    EXPECT_EQ(Feed(C.Blocks), C.Blocks);
    auto V = VoiceAfter(C.Packets);
    ASSERT_EQ(V.size(), C.Packets) << "codec " << C.Codec << " blocks " << C.Blocks;
    for (auto& P : V) {
      EXPECT_EQ(P.Codec, C.Codec);
      EXPECT_EQ(P.Flags, 0);
      EXPECT_EQ(P.SpeakNr, 0);
      if (C.PayloadFirstByte >= 0) {
        EXPECT_EQ(P.Rest[0], C.PayloadFirstByte);
      } else {
        EXPECT_EQ(HawkVoice.hvdiPacketIsVoice(P.Rest.data(), int(P.Rest.size())), 1);
      }
    }
    EXPECT_EQ(Talking(), (std::vector<std::pair<uint32_t, uint8_t>>{{Me, 1}}));
    H.reset();
    FedSamples = 0;
  }
}

TEST_F(TransmitPath, ReleasingPushToTalkEndsTheBurstAndAdvancesTheSpeakNumber) {
  Start(8);
  H->Client->snd_SetPushToTalk(true);
  H->Client->snd_SetPushToTalkPressed(true);
  Feed(2);
  H->Client->snd_SetPushToTalkPressed(false);
  EXPECT_EQ(Feed(1), 0);
  EXPECT_EQ(H->Client->SpeakNr(), 1);
  EXPECT_EQ(Feed(1), 0);
  EXPECT_EQ(H->Client->SpeakNr(), 1); // advances once per burst
  H->Client->snd_SetPushToTalkPressed(true);
  Feed(2); // 688 left over + 1488
  auto V = VoiceAfter(3);
  ASSERT_EQ(V.size(), 3u);
  EXPECT_EQ(V[0].SpeakNr, 0);
  EXPECT_EQ(V[1].SpeakNr, 1);
  EXPECT_EQ(V[2].SpeakNr, 1);
  EXPECT_EQ(Talking(), (std::vector<std::pair<uint32_t, uint8_t>>{{Me, 1}, {Me, 0}, {Me, 1}}));
}

TEST_F(TransmitPath, VoiceActivationHoldsOneSecondAfterTheLevelDrops) {
  Start(8);
  H->Client->snd_SetVoxLevel(300);
  EXPECT_EQ(Feed(1, 800), 1);
  std::vector<float> Quiet(800, 0.0f);
  float Level;
  for (int I = 0; I < 10; ++I)
    EXPECT_TRUE(H->Client->snd_StoreSoundData(Quiet.data(), 800, Level)) << I;
  EXPECT_FALSE(H->Client->snd_StoreSoundData(Quiet.data(), 800, Level));
  EXPECT_EQ(Level, 0.0f);
  EXPECT_EQ(H->Client->SpeakNr(), 1);
}

TEST_F(TransmitPath, WhisperSendsWithoutPushToTalkAndCarriesTheTargets) {
  Start(8);
  H->Client->snd_SetPushToTalk(true); // not pressed
  TBytes Targets = {2, 1, 9, 0, 0, 0, 0, 2, 0, 0, 0};
  H->Client->snd_SetWhisper(Targets, true);
  EXPECT_EQ(Feed(2), 2);
  auto V = VoiceAfter(1);
  ASSERT_EQ(V.size(), 1u);
  EXPECT_EQ(V[0].Flags, 1);
  ASSERT_GT(V[0].Rest.size(), Targets.size());
  EXPECT_EQ(TBytes(V[0].Rest.begin(), V[0].Rest.begin() + long(Targets.size())), Targets);
  EXPECT_EQ(V[0].Rest[Targets.size()], 5); // the Speex payload follows
  H->Client->snd_SetWhisper({}, false);
  EXPECT_EQ(Feed(1), 0);
}

TEST_F(TransmitPath, RefusalsSendNothing) {
  struct {
    const char* Name;
    uint16_t ChannelFlags, Privileges, ChannelPrivileges, Flags;
    bool Sends;
  } Cases[] = {
      {"moderated, no voice", Bit(cfModerated), 0, 0, 0, false},
      {"moderated, voiced", Bit(cfModerated), 0, Bit(pcpVoiced), 0, true},
      {"moderated, server admin", Bit(cfModerated), Bit(ppServerAdmin), 0, 0, true},
      {"away", 0, 0, 0, Bit(pfAway), false},
      {"microphone muted flag", 0, 0, 0, Bit(pfInputMuted), false},
      {"plain", 0, 0, 0, 0, true},
  };
  for (auto& C : Cases) {
    Start(8, C.ChannelFlags, C.Privileges, C.ChannelPrivileges, C.Flags);
    H->Client->snd_SetPushToTalk(true);
    H->Client->snd_SetPushToTalkPressed(true);
    EXPECT_EQ(Feed(3) > 0, C.Sends) << C.Name;
    EXPECT_EQ(VoiceAfter(C.Sends ? 2 : 0).size(), C.Sends ? 2u : 0u) << C.Name;
    H.reset();
    FedSamples = 0;
  }
  // Muting the microphone refuses too, and ends the own talking indication.
  Start(8);
  H->Client->snd_SetPushToTalk(true);
  H->Client->snd_SetPushToTalkPressed(true);
  Feed(1);
  H->Client->snd_SetInputMuted(true);
  EXPECT_EQ(Feed(2), 0);
  EXPECT_TRUE(HasFlag(H->Client->PlayerFlags(), pfInputMuted));
  EXPECT_EQ(Talking(), (std::vector<std::pair<uint32_t, uint8_t>>{{Me, 1}, {Me, 0}}));
}

TEST_F(TransmitPath, UnsupportedChannelCodecRaisesAndMutesBothWays) {
  auto& Log = test::TCaptureLog::Install();
  Start(8);
  H->Client->snd_SetPushToTalk(true);
  H->Client->snd_SetPushToTalkPressed(true);
  Feed(1);
  H->Log.Clear();
  // The channel's codec changes to 4 (type 113: flags and codec).
  TByteWriter W;
  W.U32(1).U16(0).U16(4).U32(0);
  Cmd(113, W.Data());
  EXPECT_TRUE(H->Client->CodecUnsupported());
  EXPECT_EQ(Log.CountContaining("TClient.sndi_SetCodec|invalid codec 4"), 1);
  auto Errors = H->Log.OfKind(cb_Error);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(TEventLog::As<TcbError>(Errors[0]).ErrorCode, -105);
  EXPECT_EQ(TEventLog::As<TcbError>(Errors[0]).RequestType, 0);
  uint16_t Flags = H->Client->PlayerFlags();
  EXPECT_TRUE(HasFlag(Flags, pfInputMuted) && HasFlag(Flags, pfOutputMuted));
  EXPECT_EQ(Talking(), (std::vector<std::pair<uint32_t, uint8_t>>{{Me, 0}}));
  ASSERT_TRUE(H->Log.WaitFor([](const TRecord& R) {
    if (TEventLog::KindOf(R) != cb_SendPacket)
      return false;
    auto S = TEventLog::As<TcbSendPacket>(R);
    TBytes B(S.Data, S.Data + S.Size);
    return IsCommandOfType(B, 304);
  }));
  EXPECT_EQ(Feed(2), 0);
  // Received voice is not stored either.
  H->Client->HandleVoicePacket(ServerVoice(Me, TClientHarness::Conn, 1, Other, 8, 0, 1, 0, {5}));
  float Out[100];
  EXPECT_FALSE(H->Client->snd_GetSoundData(Out, 100));
}

TEST_F(TransmitPath, ReceivedVoiceIsMixedAndRaisesTalkingEvents) {
  Start(8);
  test::TCodecLibraries* Unused = nullptr;
  (void)Unused;
  TSpeexCodec Enc;
  zqSpeexInitEncoder(Enc);
  zqSpeexSetMode(Enc, 3);
  TSpeexCodec Ref;
  zqSpeexInitDecoder(Ref);
  std::vector<float> Expected;
  for (uint16_t K = 0; K < 8; ++K) {
    auto Tone = test::Tone(1000, 8000, 800, K * 800);
    uint8_t Buf[1024];
    int32_t Length = sizeof(Buf);
    zqSpeexEncode(Enc, 800, Tone.data(), Length, Buf);
    float Dec[4096];
    int32_t Count = 4096;
    zqSpeexDecode(Ref, Buf, Length, Dec, Count);
    Expected.insert(Expected.end(), Dec, Dec + Count);
    H->Client->HandleVoicePacket(
        ServerVoice(Me, TClientHarness::Conn, K, Other, 8, 0, 3, K, TBytes(Buf, Buf + Length)));
  }
  zqSpeexDoneEncoder(Enc);
  zqSpeexDoneDecoder(Ref);
  H->Client->snd_SetVolume(0.5f);
  std::vector<float> Out(1024);
  int Silent = 0;
  while (!H->Client->snd_GetSoundData(Out.data(), 1024) && Silent < 10)
    ++Silent;
  EXPECT_EQ(Silent, 4); // the 4096-sample pre-buffer
  EXPECT_EQ(Talking(), (std::vector<std::pair<uint32_t, uint8_t>>{{Other, 1}}));
  std::string Speakers;
  H->Client->snd_GetSpeakers(Speakers);
  EXPECT_EQ(Speakers, "9;");
  for (int I = 0; I < 1024; ++I)
    ASSERT_EQ(Out[size_t(I)], Expected[size_t(I)] * 0.5f) << I;
  // Play the rest out: the player stops talking when nothing is left.
  for (int I = 0; I < 20; ++I)
    H->Client->snd_GetSoundData(Out.data(), 1024);
  EXPECT_EQ(Talking(), (std::vector<std::pair<uint32_t, uint8_t>>{{Other, 1}, {Other, 0}}));
  // Muting the output empties the buffers on the next round.
  H->Client->snd_SetOutputMuted(true);
  EXPECT_FALSE(H->Client->snd_GetSoundData(Out.data(), 1024));
  EXPECT_TRUE(HasFlag(H->Client->PlayerFlags(), pfOutputMuted));
}

TEST_F(TransmitPath, LoopbackPlaysTheOwnVoiceBackAndSendsNothing) {
  Start(8);
  H->Client->snd_SetLoopbackCodec(2);
  EXPECT_THROW(H->Client->snd_SetLoopbackCodec(13), Exception);
  H->Client->snd_SetLoopback(true);
  H->Client->snd_SetPushToTalk(true);
  H->Client->snd_SetPushToTalkPressed(true);
  EXPECT_EQ(Feed(6), 0); // 4464 samples: five GSM packets
  std::vector<float> Out(4000);
  ASSERT_TRUE(H->Client->snd_GetSoundData(Out.data(), 4000));
  EXPECT_NEAR(test::DominantFrequency(Out.data() + 800, 3200, 8000), 1000, 20);
  EXPECT_EQ(Talking(), (std::vector<std::pair<uint32_t, uint8_t>>{{Me, 1}}));
  EXPECT_EQ(VoiceAfter(0).size(), 0u);
  H->Client->snd_SetLoopback(false);
  EXPECT_EQ(Talking(), (std::vector<std::pair<uint32_t, uint8_t>>{{Me, 1}, {Me, 0}}));
}

TEST_F(TransmitPath, ClosingResetsTheTransmitPathSilently) {
  Start(8);
  H->Client->snd_SetPushToTalk(true);
  H->Client->snd_SetPushToTalkPressed(true);
  H->Client->snd_SetWhisper({1, 1, 9, 0, 0, 0}, true);
  Feed(1);
  EXPECT_TRUE(H->Client->IsTalking(Me));
  H->Log.Clear();
  H->Client->CloseCon();
  EXPECT_FALSE(H->Client->IsTalking(Me));
  EXPECT_TRUE(Talking().empty());
  EXPECT_EQ(H->Client->SpeakNr(), 0); // kept across connections
  float Level;
  std::vector<float> Block(800, 1000.0f);
  EXPECT_FALSE(H->Client->snd_StoreSoundData(Block.data(), 800, Level));
}

TEST(ClientCreation, MissingCodecLibraryFailsWithItsTextAndSpeexStaysClosed) {
  SetHawkVoiceLocations({"/nonexistent/libHVDI.so.0.8.0"});
  try {
    TClient C(nullptr, coCallbackTransport);
    FAIL() << "created without its codec library";
  } catch (const Exception& E) {
    EXPECT_STREQ(E.what(),
                 "Error loading Hawlvoice library (libHVDI.so.0.8.0) Maybe not installed?");
  }
  EXPECT_FALSE(SpeexLoaded());
  EXPECT_EQ(dlopen("libspeex.so.1", RTLD_NOW | RTLD_NOLOAD), nullptr);
  SetHawkVoiceLocations(DefaultHawkVoiceLocations());
  TClient C(nullptr, coCallbackTransport);
  EXPECT_TRUE(HawkVoiceLoaded());
  EXPECT_TRUE(SpeexLoaded());
}

} // namespace
} // namespace orlavonix
