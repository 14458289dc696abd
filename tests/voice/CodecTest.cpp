#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include "VoiceTestUtil.h"
#include "voice/HawkVoice.h"
#include "voice/SoundUtils.h"
#include "voice/libspeex.h"

namespace orlavonix {
namespace {

using test::TCodecLibraries;

class LoaderTest : public ::testing::Test {
protected:
  void TearDown() override {
    UnloadHawkVoice();
    UnloadSpeex();
    SetHawkVoiceLocations(DefaultHawkVoiceLocations());
    SetSpeexLocations(DefaultSpeexLocations());
  }
};

TEST_F(LoaderTest, OpenTwiceAndCloseUnopenedGiveMinusOne) {
  EXPECT_EQ(UnloadHawkVoice(), -1);
  EXPECT_EQ(UnloadSpeex(), -1);
  ASSERT_EQ(LoadHawkVoice(), 0);
  ASSERT_EQ(LoadSpeex(), 0);
  EXPECT_EQ(LoadHawkVoice(), -1);
  EXPECT_EQ(LoadSpeex(), -1);
  EXPECT_NE(HawkVoice.hvdiHint, nullptr);
  EXPECT_NE(Speex.speex_mode_query, nullptr);
  EXPECT_EQ(UnloadHawkVoice(), 0);
  EXPECT_EQ(UnloadSpeex(), 0);
  EXPECT_EQ(UnloadHawkVoice(), -1);
  EXPECT_FALSE(HawkVoiceLoaded());
}

TEST_F(LoaderTest, MissingFileGivesMinusTwoAndMissingSymbolMinusThree) {
  SetHawkVoiceLocations({"/nonexistent/libHVDI.so.0.8.0"});
  EXPECT_EQ(LoadHawkVoice(), -2);
  EXPECT_FALSE(HawkVoiceLoaded());
  // A real library without our entry points: opens, then fails to bind.
  SetHawkVoiceLocations({"libgsm.so.1"});
  EXPECT_EQ(LoadHawkVoice(), -3);
  EXPECT_TRUE(HawkVoiceLoaded()); // the handle stays open after -3
  EXPECT_EQ(UnloadHawkVoice(), 0);
  SetSpeexLocations({"libgsm.so.1"});
  EXPECT_EQ(LoadSpeex(), -3);
}

TEST_F(LoaderTest, SpeexFallsBackToTheInstalledSoname) {
  // Debian installs only libspeex.so.1; the old file name alone cannot start.
  SetSpeexLocations({SpeexLibraryName});
  EXPECT_EQ(LoadSpeex(), -2);
  SetSpeexLocations(DefaultSpeexLocations());
  EXPECT_EQ(LoadSpeex(), 0);
}

TEST(CodecLibraryTexts, EveryStatusHasItsText) {
  struct {
    int Code;
    const char* Hawk;
    const char* Speex;
  } Cases[] = {
      {-1, "Hawkvoice library already initialized", "libspeex already initialized"},
      {-2, "Error loading Hawlvoice library (libHVDI.so.0.8.0) Maybe not installed?",
       "Error loading libspeex (libspeex.so.1.0.0) Maybe not installed?"},
      {-3, "Error during binding functions in Hawkvoice Library",
       "Error during binding functions in libspeex"},
      {-4, "Unknown HawkVoice Error", "Unknown libspeex Error"},
      {7, "Unknown HawkVoice Error", "Unknown libspeex Error"},
  };
  for (auto& C : Cases) {
    EXPECT_EQ(HawkVoiceErrorText(C.Code), C.Hawk) << C.Code;
    EXPECT_EQ(SpeexErrorText(C.Code), C.Speex) << C.Code;
  }
}

TEST(CodecTable, NamesListAndSendSamples) {
  EXPECT_EQ(CodecName(0), "CELP 5.1 Kbit");
  EXPECT_EQ(CodecName(3), "GSM 16.4 Kbit");
  EXPECT_EQ(CodecName(12), "Speex 25.9 Kbit");
  EXPECT_EQ(CodecName(4), "unknown");
  EXPECT_EQ(CodecName(13), "unknown");
  EXPECT_EQ(CodecName(-1), "unknown");

  std::vector<TCodecListItem> List{{"stale", 99}};
  FillCodecList(List);
  std::vector<int32_t> Numbers;
  for (auto& I : List) {
    Numbers.push_back(I.Codec);
    EXPECT_EQ(I.Name, CodecName(I.Codec));
  }
  EXPECT_EQ(Numbers, (std::vector<int32_t>{0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12}));

  const int32_t Samples[13] = {2160, 720, 800, 480, 480, 800, 800, 800, 800, 800, 800, 800, 800};
  for (int32_t C = 0; C < 13; ++C)
    EXPECT_EQ(GetSendSamples(C), Samples[C]) << C;
  EXPECT_EQ(GetSendSamples(13), 0);
  EXPECT_EQ(GetSendSamples(255), 0);
}

TEST(SampleConversion, ClipsAndRoundsTiesToEven) {
  struct {
    float In;
    int16_t Out;
  } Cases[] = {{40000.0f, 32767},   {-40000.0f, -32768}, {32767.0f, 32767}, {32767.4f, 32767},
               {-32768.0f, -32768}, {2.5f, 2},           {3.5f, 4},         {-2.5f, -2},
               {-3.5f, -4},         {0.49f, 0},          {1.51f, 2},        {-0.5f, 0}};
  for (auto& C : Cases)
    EXPECT_EQ(FloatToSmallInt(C.In), C.Out) << C.In;
  int16_t Back[3] = {-32768, 0, 32767};
  float F[3];
  SmallIntsToFloats(Back, F, 3);
  EXPECT_EQ(F[0], -32768.0f);
  EXPECT_EQ(F[2], 32767.0f);
}

class SpeexWrapperTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(Libs.Ok()); }
  TCodecLibraries Libs;
};

TEST_F(SpeexWrapperTest, EightHundredSamplesMakeFiveFramesForEveryMode) {
  auto In = test::Tone(1000, 8000, 800);
  for (int Mode = 0; Mode < 8; ++Mode) {
    TSpeexCodec Enc, Dec;
    zqSpeexInitEncoder(Enc);
    zqSpeexInitDecoder(Dec);
    zqSpeexSetMode(Enc, Mode);
    uint8_t Payload[1024];
    int32_t Length = sizeof(Payload);
    zqSpeexEncode(Enc, 800, In.data(), Length, Payload);
    EXPECT_EQ(Payload[0], 5) << Mode;
    EXPECT_GT(Length, 1) << Mode;
    std::vector<float> Out(4096);
    int32_t Count = 4096;
    zqSpeexDecode(Dec, Payload, Length, Out.data(), Count);
    EXPECT_EQ(Count, 800) << Mode;
    zqSpeexDoneEncoder(Enc);
    zqSpeexDoneDecoder(Dec);
  }
}

TEST_F(SpeexWrapperTest, ZeroFramesDecodeToNothingAndTooManyFramesRaise) {
  TSpeexCodec Dec;
  zqSpeexInitDecoder(Dec);
  std::vector<float> Out(4096, 7.0f);
  uint8_t Empty[4] = {0, 1, 2, 3};
  int32_t Count = 4096;
  zqSpeexDecode(Dec, Empty, 4, Out.data(), Count);
  EXPECT_EQ(Count, 0);
  Count = 4096;
  zqSpeexDecode(Dec, Empty, 0, Out.data(), Count);
  EXPECT_EQ(Count, 0);

  // 26 frames need 4160 samples: 25 fit, the error names what remains.
  std::vector<uint8_t> Long(200, 0x55);
  Long[0] = 26;
  Count = 4096;
  try {
    zqSpeexDecode(Dec, Long.data(), int32_t(Long.size()), Out.data(), Count);
    FAIL() << "no error";
  } catch (const ESpeexError& E) {
    EXPECT_STREQ(E.what(), "zqSpeexDecode: Buffer to small max: 96  fra: 0");
  }
  zqSpeexDoneDecoder(Dec);

  TSpeexCodec Enc;
  zqSpeexInitEncoder(Enc);
  EXPECT_THROW(zqSpeexSetMode(Enc, 8), ESpeexError);
  EXPECT_THROW(zqSpeexSetMode(Enc, -1), ESpeexError);
  zqSpeexDoneEncoder(Enc);
}

// A 1 kHz tone through one codec: same dominant frequency, level within 3 dB.
struct TToneResult {
  double Hz;
  double LevelDb;
  int MaxPayload;
};

TToneResult ToneThroughCodec(int32_t Codec) {
  const int32_t Block = GetSendSamples(Codec);
  const int32_t Blocks = std::max(4, 3200 / Block + 1);
  auto In = test::Tone(1000, 8000, Block * Blocks);
  std::vector<float> Out;
  int MaxPayload = 0;
  if (IsSpeexCodec(Codec)) {
    TSpeexCodec Enc, Dec;
    zqSpeexInitEncoder(Enc);
    zqSpeexInitDecoder(Dec);
    zqSpeexSetMode(Enc, Codecs[Codec].Setting);
    for (int32_t B = 0; B < Blocks; ++B) {
      uint8_t Payload[1024];
      int32_t Length = sizeof(Payload);
      zqSpeexEncode(Enc, Block, In.data() + B * Block, Length, Payload);
      MaxPayload = std::max(MaxPayload, int(Length));
      float Buf[4096];
      int32_t Count = 4096;
      zqSpeexDecode(Dec, Payload, Length, Buf, Count);
      Out.insert(Out.end(), Buf, Buf + Count);
    }
    zqSpeexDoneEncoder(Enc);
    zqSpeexDoneDecoder(Dec);
  } else {
    auto* Enc = HawkVoice.hvdiNewEncState();
    auto* Dec = HawkVoice.hvdiNewDecState();
    EXPECT_EQ(HawkVoice.hvdiEncStateSetCodec(Enc, uint8_t(Codecs[Codec].Setting)), 0);
    std::vector<int16_t> Pcm(static_cast<size_t>(Block));
    for (int32_t B = 0; B < Blocks; ++B) {
      FloatsToSmallInts(In.data() + B * Block, Pcm.data(), Block);
      uint8_t Payload[1024];
      int Length = HawkVoice.hvdiPacketEncode(Payload, Block, Pcm.data(), 1024, nullptr, Enc);
      MaxPayload = std::max(MaxPayload, Length);
      EXPECT_EQ(HawkVoice.hvdiPacketIsVoice(Payload, Length), 1);
      int16_t Buf[4096];
      int N = HawkVoice.hvdiPacketDecode(Payload, Length, Buf, 4096, nullptr, Dec);
      EXPECT_EQ(N, Block);
      EXPECT_EQ(HawkVoice.hvdiDecStateGetCodec(Dec), Codecs[Codec].Setting);
      std::vector<float> F(static_cast<size_t>(std::max(N, 0)));
      SmallIntsToFloats(Buf, F.data(), N);
      Out.insert(Out.end(), F.begin(), F.end());
    }
    HawkVoice.hvdiDeleteEncState(Enc);
    HawkVoice.hvdiDeleteDecState(Dec);
  }
  EXPECT_EQ(Out.size(), In.size());
  // Skip the codec's start-up: measure the last 1600 samples.
  const float* Tail = Out.data() + Out.size() - 1600;
  return {test::DominantFrequency(Tail, 1600, 8000),
          test::LevelDb(test::Rms(Tail, 1600), 8000 / std::sqrt(2.0)), MaxPayload};
}

TEST_F(SpeexWrapperTest, ToneSurvivesEveryCodec) {
  for (int32_t Codec : {0, 1, 2, 3, 8, 9, 10, 11, 12}) {
    auto R = ToneThroughCodec(Codec);
    EXPECT_NEAR(R.Hz, 1000, 20) << "codec " << Codec;
    EXPECT_NEAR(R.LevelDb, 0.0, 3.0) << "codec " << Codec;
    EXPECT_LE(R.MaxPayload, 1024) << "codec " << Codec;
  }
  // Speex below 8 kbit/s models speech, not steady tones: a 1 kHz sine comes
  // back as weaker noise around 1.2 kHz. Those codecs must still deliver
  // every sample with audible energy.
  for (int32_t Codec : {5, 6, 7}) {
    auto R = ToneThroughCodec(Codec);
    EXPECT_NEAR(R.Hz, 1000, 300) << "codec " << Codec;
    EXPECT_GT(R.LevelDb, -25.0) << "codec " << Codec;
    EXPECT_LE(R.MaxPayload, 1024) << "codec " << Codec;
  }
}

class HawkVoiceLibraryTest : public SpeexWrapperTest {};

TEST_F(HawkVoiceLibraryTest, RejectsForeignAndDamagedPayloads) {
  auto* Enc = HawkVoice.hvdiNewEncState();
  std::vector<int16_t> Pcm(800, 1000);
  uint8_t Payload[1024];
  // Without a codec nothing is encoded; unknown codec values are refused.
  EXPECT_EQ(HawkVoice.hvdiPacketEncode(Payload, 800, Pcm.data(), 1024, nullptr, Enc), 0);
  EXPECT_EQ(HawkVoice.hvdiEncStateSetCodec(Enc, 4), -1);
  ASSERT_EQ(HawkVoice.hvdiEncStateSetCodec(Enc, 3), 0);
  int Length = HawkVoice.hvdiPacketEncode(Payload, 800, Pcm.data(), 1024, nullptr, Enc);
  ASSERT_EQ(Length, 6 + 5 * 33);
  EXPECT_EQ(HawkVoice.hvdiPacketIsVoice(Payload, Length), 1);
  // Every truncation and one byte too many.
  for (int L = 0; L < Length; ++L)
    EXPECT_EQ(HawkVoice.hvdiPacketIsVoice(Payload, L), 0) << L;
  EXPECT_EQ(HawkVoice.hvdiPacketIsVoice(Payload, Length + 1), 0);
  struct {
    int Offset;
    uint8_t Value;
  } Damage[] = {{0, 0x00}, {1, 0x00}, {2, 8}, {2, 4}, {3, 0}, {3, 6}, {4, 0xFF}, {5, 9}, {6, 0x00}};
  for (auto& D : Damage) {
    uint8_t Copy[1024];
    std::memcpy(Copy, Payload, size_t(Length));
    Copy[D.Offset] = D.Value;
    EXPECT_EQ(HawkVoice.hvdiPacketIsVoice(Copy, Length), 0) << D.Offset;
    int16_t Out[4096];
    auto* Dec = HawkVoice.hvdiNewDecState();
    EXPECT_EQ(HawkVoice.hvdiPacketDecode(Copy, Length, Out, 4096, nullptr, Dec), 0);
    HawkVoice.hvdiDeleteDecState(Dec);
  }
  // A Speex payload is not ours.
  uint8_t SpeexLike[40] = {5};
  EXPECT_EQ(HawkVoice.hvdiPacketIsVoice(SpeexLike, 40), 0);
  // Too little room: a block of 4801 samples or a 100-byte limit.
  std::vector<int16_t> Big(4801, 0);
  EXPECT_EQ(HawkVoice.hvdiPacketEncode(Payload, 4801, Big.data(), 1024, nullptr, Enc), 0);
  EXPECT_EQ(HawkVoice.hvdiPacketEncode(Payload, 800, Pcm.data(), 100, nullptr, Enc), 0);
  HawkVoice.hvdiDeleteEncState(Enc);
}

TEST_F(HawkVoiceLibraryTest, DecodeStopsAtTheCallersCapacity) {
  auto* Enc = HawkVoice.hvdiNewEncState();
  auto* Dec = HawkVoice.hvdiNewDecState();
  ASSERT_EQ(HawkVoice.hvdiEncStateSetCodec(Enc, 8), 0);
  auto Tone = test::Tone(1000, 8000, 720);
  std::vector<int16_t> Pcm(720);
  FloatsToSmallInts(Tone.data(), Pcm.data(), 720);
  uint8_t Payload[1024];
  int Length = HawkVoice.hvdiPacketEncode(Payload, 720, Pcm.data(), 1024, nullptr, Enc);
  EXPECT_EQ(Length, 6 + 5 * 20);
  int16_t Out[720];
  std::fill(std::begin(Out), std::end(Out), int16_t(0x7777));
  EXPECT_EQ(HawkVoice.hvdiPacketDecode(Payload, Length, Out, 400, nullptr, Dec), 320);
  EXPECT_EQ(Out[400], 0x7777); // nothing written beyond the capacity
  EXPECT_EQ(HawkVoice.hvdiPacketDecode(Payload, Length, Out, 100, nullptr, Dec), 0);
  int Key = 1;
  EXPECT_EQ(HawkVoice.hvdiPacketDecode(Payload, Length, Out, 720, &Key, Dec), 0);
  HawkVoice.hvdiDeleteEncState(Enc);
  HawkVoice.hvdiDeleteDecState(Dec);
}

TEST_F(HawkVoiceLibraryTest, AuxiliaryEntryPointsDoWhatTheyDocument) {
  EXPECT_EQ(HawkVoice.hvdiNewEncryptionKey("secret"), nullptr);
  HawkVoice.hvdiDeleteEncryptionKey(nullptr);
  HawkVoice.hvdiHint(1, 0);

  auto* Vox = HawkVoice.hvdiNewVOX(2, 100);
  short Loud[4] = {200, -200, 200, -200}, Quiet[4] = {0, 0, 0, 0};
  EXPECT_EQ(HawkVoice.hvdiVOX(Vox, Quiet, 4), 0);
  EXPECT_EQ(HawkVoice.hvdiVOX(Vox, Loud, 4), 1);
  EXPECT_EQ(HawkVoice.hvdiVOX(Vox, Quiet, 4), 1); // hold of two blocks
  EXPECT_EQ(HawkVoice.hvdiVOX(Vox, Quiet, 4), 1);
  EXPECT_EQ(HawkVoice.hvdiVOX(Vox, Quiet, 4), 0);
  HawkVoice.hvdiDeleteVOX(Vox);

  short A[3] = {30000, -30000, 5}, B[3] = {10000, -10000, 6}, Mixed[3];
  short* In[2] = {A, B};
  HawkVoice.hvdiMix(Mixed, In, 2, 3);
  EXPECT_EQ(Mixed[0], 32767);
  EXPECT_EQ(Mixed[1], -32768);
  EXPECT_EQ(Mixed[2], 11);

  auto* Rate = HawkVoice.hvdiNewRate(8000, 16000);
  short Src[4] = {1, 2, 3, 4}, Dst[16];
  int InLen = 4, OutLen = 16;
  HawkVoice.hvdiRateFlow(Rate, Src, Dst, &InLen, &OutLen);
  EXPECT_EQ(InLen, 4);
  EXPECT_EQ(OutLen, 8);
  EXPECT_EQ((std::vector<short>(Dst, Dst + 8)), (std::vector<short>{1, 1, 2, 2, 3, 3, 4, 4}));
  HawkVoice.hvdiDeleteRate(Rate);
  EXPECT_EQ(HawkVoice.hvdiNewRate(0, 8000), nullptr);

  auto* Agc = HawkVoice.hvdiNewAGC(0.5f);
  short Block[2] = {1000, -500};
  HawkVoice.hvdiAGC(Agc, Block, 2);
  EXPECT_EQ(Block[0], 10000); // gain limited to 10
  EXPECT_EQ(Block[1], -5000);
  HawkVoice.hvdiDeleteAGC(Agc);
}

} // namespace
} // namespace orlavonix
