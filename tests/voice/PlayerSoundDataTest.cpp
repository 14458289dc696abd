#include <gtest/gtest.h>

#include <cstring>

#include "VoiceTestUtil.h"
#include "voice/PlayerSoundData.h"
#include "voice/SoundUtils.h"

namespace orlavonix {
namespace {

TPacketPtr VoicePacket(uint8_t Codec, uint16_t SpeakNr, uint16_t PacketNr,
                       const std::vector<uint8_t>& Payload) {
  TServerVoiceHeader H{};
  H.Magic = PacketClassServerVoice;
  H.Codec = Codec;
  H.SpeakNr = SpeakNr;
  H.SenderId = 7;
  H.PacketNr = PacketNr;
  auto P = std::make_unique<TPacket>();
  P->WriteBuffer(&H, sizeof(H));
  if (!Payload.empty())
    P->WriteBuffer(Payload.data(), int32_t(Payload.size()));
  return P;
}

class ReceiveBuffer : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Libs.Ok());
    zqSpeexInitEncoder(Enc);
    zqSpeexSetMode(Enc, 3);
    // Eight distinct Speex payloads of a tone, 800 samples each.
    for (int K = 0; K < 8; ++K) {
      auto Tone = test::Tone(1000, 8000, 800, K * 800);
      uint8_t Buf[1024];
      int32_t Length = sizeof(Buf);
      zqSpeexEncode(Enc, 800, Tone.data(), Length, Buf);
      Payloads.emplace_back(Buf, Buf + Length);
    }
  }
  void TearDown() override { zqSpeexDoneEncoder(Enc); }

  // What a fresh decoder makes of the payloads in this order.
  std::vector<float> Reference(const std::vector<int>& Order) {
    TSpeexCodec Dec;
    zqSpeexInitDecoder(Dec);
    std::vector<float> Out;
    for (int K : Order) {
      float Buf[4096];
      int32_t Count = 4096;
      zqSpeexDecode(Dec, Payloads[size_t(K)].data(), int32_t(Payloads[size_t(K)].size()), Buf,
                    Count);
      Out.insert(Out.end(), Buf, Buf + Count);
    }
    zqSpeexDoneDecoder(Dec);
    return Out;
  }

  // Requests Count samples; empty when the buffer declines.
  static std::vector<float> Take(TPlayerSoundData& B, int32_t Count, bool& Got) {
    const float *First = nullptr, *Second = nullptr;
    int32_t FirstCount = 0, SecondCount = 0;
    Got = B.GetSoundDataBufferPointer(Count, First, FirstCount, Second, SecondCount);
    std::vector<float> Out;
    if (Got) {
      EXPECT_EQ(FirstCount + SecondCount, Count);
      Out.assign(First, First + FirstCount);
      Out.insert(Out.end(), Second, Second + SecondCount);
    }
    B.DataUsed();
    return Out;
  }

  test::TCodecLibraries Libs;
  TSpeexCodec Enc;
  std::vector<std::vector<uint8_t>> Payloads;
};

TEST_F(ReceiveBuffer, WindowAnchorsAtTheFirstPacketAndWrapsAt65536) {
  auto& Log = test::TCaptureLog::Install();
  TPlayerSoundData B(4096);
  EXPECT_TRUE(B.StorePacket(VoicePacket(8, 1, 65530, Payloads[0])));
  for (int I = 0; I < 16; ++I)
    EXPECT_EQ(B.SlotNr(I), uint16_t(65530 + I)) << I;

  struct {
    uint16_t PacketNr;
    bool Stored;
    int Slot;
    const char* Logged;
  } Cases[] = {
      {3, true, 9, nullptr},
      {3, false, 9, "packet nr 3 (speak 1) was already filled"},
      {65530, false, 0, "packet nr 65530 (speak 1) was already filled"},
      {10, false, -1, "packet nr 10 (speak 1) was not stored"},       // 16 ahead
      {65529, false, -1, "packet nr 65529 (speak 1) was not stored"}, // behind
      {9, true, 15, nullptr},
  };
  for (auto& C : Cases) {
    EXPECT_EQ(B.StorePacket(VoicePacket(8, 1, C.PacketNr, Payloads[1])), C.Stored) << C.PacketNr;
    if (C.Slot >= 0) {
      EXPECT_TRUE(B.SlotHoldsPacket(C.Slot));
    }
    if (C.Logged) {
      EXPECT_EQ(Log.CountContaining(C.Logged), 1) << C.Logged;
    }
  }
  EXPECT_EQ(B.SlotsFilled(), 3);
}

TEST_F(ReceiveBuffer, RejectsCodecFourAndInvalidHawkVoicePayloads) {
  auto& Log = test::TCaptureLog::Install();
  TPlayerSoundData B(4096);
  EXPECT_FALSE(B.StorePacket(VoicePacket(4, 1, 0, Payloads[0])));
  EXPECT_FALSE(B.Active()); // no burst, so no talking indication either
  EXPECT_FALSE(B.StorePacket(VoicePacket(2, 1, 0, Payloads[0]))); // Speex bytes as GSM
  EXPECT_EQ(Log.CountContaining("packet nr 0 (speak 1) was invalid"), 1);
  EXPECT_EQ(B.SlotsFilled(), 0);
  auto Short = std::make_unique<TPacket>();
  Short->WriteBuffer("\xF3\xBE", 2);
  EXPECT_FALSE(B.StorePacket(std::move(Short)));
}

TEST_F(ReceiveBuffer, PreBufferRunsDownBeforeTheBurstPlays) {
  TPlayerSoundData B(4096);
  for (int K = 0; K < 6; ++K)
    ASSERT_TRUE(B.StorePacket(VoicePacket(8, 1, uint16_t(K), Payloads[size_t(K)])));
  bool Got = true;
  for (int I = 0; I < 4; ++I) {
    Take(B, 1000, Got);
    EXPECT_FALSE(Got) << I;
  }
  EXPECT_EQ(B.PreBuffer(), 96);
  auto Out = Take(B, 1000, Got);
  ASSERT_TRUE(Got);
  auto Ref = Reference({0, 1});
  for (int I = 0; I < 96; ++I)
    ASSERT_EQ(Out[size_t(I)], 0.0f) << I;
  for (int I = 96; I < 1000; ++I)
    ASSERT_EQ(Out[size_t(I)], Ref[size_t(I - 96)]) << I;
}

TEST_F(ReceiveBuffer, LostPacketCostsExactly256SamplesOfSilence) {
  TPlayerSoundData B(0);
  ASSERT_TRUE(B.StorePacket(VoicePacket(8, 1, 100, Payloads[0])));
  ASSERT_TRUE(B.StorePacket(VoicePacket(8, 1, 102, Payloads[2]))); // 101 lost
  bool Got = false;
  auto Out = Take(B, 1856, Got);
  ASSERT_TRUE(Got);
  auto Ref = Reference({0, 2});
  for (int I = 0; I < 800; ++I)
    ASSERT_EQ(Out[size_t(I)], Ref[size_t(I)]) << I;
  for (int I = 800; I < 1056; ++I)
    ASSERT_EQ(Out[size_t(I)], 0.0f) << I;
  for (int I = 1056; I < 1856; ++I)
    ASSERT_EQ(Out[size_t(I)], Ref[size_t(I - 256)]) << I;
}

TEST_F(ReceiveBuffer, DrainingPadsWithZerosThenGoesQuietAndRestartsOnTheNextPacket) {
  TPlayerSoundData B(0);
  ASSERT_TRUE(B.StorePacket(VoicePacket(8, 1, 0, Payloads[0])));
  bool Got = false;
  auto First = Take(B, 600, Got);
  ASSERT_TRUE(Got);
  auto Rest = Take(B, 600, Got); // 200 decoded samples remain, then zeros
  ASSERT_TRUE(Got);
  auto Ref = Reference({0});
  for (int I = 0; I < 200; ++I)
    ASSERT_EQ(Rest[size_t(I)], Ref[size_t(600 + I)]);
  for (int I = 200; I < 600; ++I)
    ASSERT_EQ(Rest[size_t(I)], 0.0f);
  Take(B, 600, Got);
  EXPECT_FALSE(Got);
  EXPECT_FALSE(B.Active());
  // The same burst continues: no new pre-buffer; a new speak number gets one.
  ASSERT_TRUE(B.StorePacket(VoicePacket(8, 1, 1, Payloads[1])));
  EXPECT_TRUE(B.Active());
  int32_t Delay = B.Delay();
  EXPECT_EQ(B.PreBuffer(), 0);
  Take(B, 800, Got);
  Take(B, 800, Got);
  Take(B, 800, Got);
  ASSERT_TRUE(B.StorePacket(VoicePacket(8, 2, 40, Payloads[2])));
  EXPECT_EQ(B.PreBuffer(), Delay);
}

TEST_F(ReceiveBuffer, DelayAdaptsAndACodecChangeResetsIt) {
  TPlayerSoundData B(2048);
  // A backlog (more than 2 slots filled while playing) lowers the delay.
  for (int K = 0; K < 5; ++K)
    ASSERT_TRUE(B.StorePacket(VoicePacket(8, 1, uint16_t(K), Payloads[size_t(K)])));
  // First store: 1 slot filled -> grows by 128; 2 filled: unchanged; 3..5: shrink.
  EXPECT_EQ(B.Delay(), 2048 + 128 - 3 * 128);
  EXPECT_EQ(B.MinDelay(), 512);
  EXPECT_EQ(B.StatCount(), 5u);
  EXPECT_EQ(B.HistogramBucket((2048) / 128), 1u);

  ASSERT_TRUE(B.StorePacket(VoicePacket(12, 1, 5, Payloads[5])));
  EXPECT_EQ(B.StatCount(), 1u);
  EXPECT_EQ(B.MinDelay(), 512);
  // Reset to the initial delay; then 6 slots filled shrinks it once.
  EXPECT_EQ(B.Delay(), 2048 - 128);
  EXPECT_EQ(B.HistogramBucket(2048 / 128), 0u);
}

TEST_F(ReceiveBuffer, RepeatedDryRunsAtOneDelayLearnAHigherFloor) {
  TPlayerSoundData B(1024);
  // Each cycle: three packets arrive (dry at the first: +128, none at the
  // second, backlog at the third: -128), then the burst plays out. The same
  // delay bucket is hit every cycle; after more than 10 packets and more than
  // 2 hits the floor rises above that delay.
  bool Got = true;
  uint16_t Nr = 0;
  for (int Cycle = 0; Cycle < 6; ++Cycle) {
    for (int K = 0; K < 3; ++K, ++Nr)
      ASSERT_TRUE(B.StorePacket(VoicePacket(8, 1, Nr, Payloads[Nr % 8])));
    for (int R = 0; R < 100 && B.Active(); ++R)
      Take(B, 400, Got);
    ASSERT_FALSE(B.Active());
    if (Cycle < 4) {
      EXPECT_EQ(B.MinDelay(), 512) << Cycle;
      EXPECT_EQ(B.Delay(), 1024) << Cycle;
    }
  }
  EXPECT_EQ(B.HistogramBucket(1024 / 128), 5u); // the fifth hit raised the floor
  EXPECT_EQ(B.HistogramBucket(1152 / 128), 1u);
  EXPECT_EQ(B.MinDelay(), 1152);
  EXPECT_EQ(B.Delay(), 1152);
}

TEST_F(ReceiveBuffer, ClearEmptiesButKeepsTheStatistics) {
  TPlayerSoundData B(4096);
  for (int K = 0; K < 4; ++K)
    ASSERT_TRUE(B.StorePacket(VoicePacket(8, 1, uint16_t(K), Payloads[size_t(K)])));
  int32_t Delay = B.Delay();
  B.Clear();
  EXPECT_EQ(B.SlotsFilled(), 0);
  EXPECT_FALSE(B.Active());
  EXPECT_EQ(B.SoundDataSize(), 0);
  EXPECT_EQ(B.Delay(), Delay);
  EXPECT_EQ(B.StatCount(), 4u);
  bool Got = true;
  Take(B, 100, Got);
  EXPECT_FALSE(Got);
  EXPECT_THROW(Take(B, 8193, Got), Exception);
}

TEST_F(ReceiveBuffer, UndecodablePacketLeavesItsSlotAsSilenceAndPlayContinues) {
  auto& Log = test::TCaptureLog::Install();
  TPlayerSoundData B(0);
  std::vector<uint8_t> Bad(300, 0x3C);
  Bad[0] = 30; // claims 30 frames: more than the 4096-sample decode buffer
  ASSERT_TRUE(B.StorePacket(VoicePacket(8, 1, 0, Payloads[0])));
  ASSERT_TRUE(B.StorePacket(VoicePacket(8, 1, 1, Bad)));
  ASSERT_TRUE(B.StorePacket(VoicePacket(8, 1, 2, Payloads[2])));
  bool Got = false;
  auto Out = Take(B, 800 + 256 + 800, Got);
  ASSERT_TRUE(Got);
  EXPECT_EQ(B.SlotsFilled(), 0);
  for (int I = 800; I < 1056; ++I)
    ASSERT_EQ(Out[size_t(I)], 0.0f) << I;
  EXPECT_GT(test::Rms(Out.data() + 1056, 800), 100.0); // packet 2 plays
  EXPECT_EQ(Log.CountContaining("Exception ESpeexError: zqSpeexDecode: Buffer to small"), 1);
}

TEST_F(ReceiveBuffer, LargeRequestNeverOverrunsTheRing) {
  auto& Log = test::TCaptureLog::Install();
  TPlayerSoundData B(0);
  // Two packets of 25 frames (4000 samples) each: asking for 8000 at once
  // decodes both, the second lands past what the ring holds beyond the first.
  std::vector<float> Long = test::Tone(1000, 8000, 4000);
  uint8_t Buf[1024];
  int32_t Length = sizeof(Buf);
  zqSpeexEncode(Enc, 4000, Long.data(), Length, Buf);
  std::vector<uint8_t> P(Buf, Buf + Length);
  for (int K = 0; K < 4; ++K)
    ASSERT_TRUE(B.StorePacket(VoicePacket(8, 1, uint16_t(K), P)));
  bool Got = false;
  Take(B, 7000, Got); // decodes two packets, 1000 samples stay
  ASSERT_TRUE(Got);
  auto Out = Take(B, 8192, Got); // 1000 + 4000 + 4000 > 8192
  ASSERT_TRUE(Got);
  EXPECT_EQ(Out.size(), 8192u);
  EXPECT_EQ(Log.CountContaining("decode packet|FSoundDataSize (9000)to big (808 samples)"), 1);
  EXPECT_EQ(B.SoundDataSize(), 0);
  // What was kept is the newest 8192 samples: the last packet ends the block.
  EXPECT_GT(test::Rms(Out.data() + 8192 - 800, 800), 1000.0);
}

} // namespace
} // namespace orlavonix
