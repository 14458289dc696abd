#include <gtest/gtest.h>

#include <vector>

#include "voice/SoundUtils.h"

namespace orlavonix {
namespace {

std::vector<float> Constant(float V, int N) {
  return std::vector<float>(size_t(N), V);
}

TEST(Vox, ThresholdFollowsTheLevel) {
  struct {
    int32_t Level;
    float Amplitude;
    bool Speech;
  } Cases[] = {{1000, 1.0f, true},   {1000, 0.9f, false},  {0, 32767.0f, true},
               {0, 32766.0f, false}, {300, 1449.0f, true}, {300, 1440.0f, false},
               {750, 13.6f, true},   {750, 13.3f, false}};
  for (auto& C : Cases) {
    TVox V(C.Level);
    auto Block = Constant(C.Amplitude, 160);
    // Mean absolute amplitude: signs do not matter.
    for (size_t I = 1; I < Block.size(); I += 2)
      Block[I] = -Block[I];
    EXPECT_EQ(V.Check(Block.data(), 160), C.Speech) << C.Level << " " << C.Amplitude;
  }
}

TEST(Vox, HoldsForOneSecondCountedBlockByBlock) {
  TVox V(300);
  auto Loud = Constant(5000, 800), Quiet = Constant(0, 800);
  EXPECT_TRUE(V.Check(Loud.data(), 800));
  // 8000 samples of hold: ten quiet blocks of 800 pass, the eleventh does not.
  for (int I = 0; I < 10; ++I)
    EXPECT_TRUE(V.Check(Quiet.data(), 800)) << I;
  EXPECT_FALSE(V.Check(Quiet.data(), 800));
  // A hold part-used is still a hold: 744-sample blocks pass 11 times.
  EXPECT_TRUE(V.Check(Loud.data(), 744));
  for (int I = 0; I < 11; ++I)
    EXPECT_TRUE(V.Check(Quiet.data(), 744)) << I;
  EXPECT_FALSE(V.Check(Quiet.data(), 744));
  EXPECT_TRUE(V.Check(Loud.data(), 744));
  V.Reset();
  EXPECT_FALSE(V.Check(Quiet.data(), 744));
}

TEST(Normalizer, OneWindowMovesTheGainByAtMostOne) {
  struct {
    float Peak;
    float Gain;
  } Cases[] = {
      {11468.45f, 2.0f}, {32767.0f, 0.7f}, {2000.0f, 1.0f}, {1500.0f, 1.0f}, {2500.0f, 2.0f}};
  for (auto& C : Cases) {
    TVoiceNormalizer N;
    auto Block = Constant(0, 800);
    Block[400] = C.Peak;
    EXPECT_NEAR(N.Process(Block.data(), 800), C.Gain, 1e-3) << C.Peak;
    // The window closes on its last sample, which is then scaled by the new gain.
    auto Next = Constant(100, 1);
    N.Process(Next.data(), 1);
    EXPECT_NEAR(Next[0], 100 * C.Gain, 0.1) << C.Peak;
  }
}

TEST(Normalizer, ClippingBacksOffByTheLastStep) {
  TVoiceNormalizer N;
  auto Block = Constant(0, 800);
  Block[0] = 11468.45f;
  ASSERT_NEAR(N.Process(Block.data(), 800), 2.0f, 1e-3); // step 1.0
  auto Loud = Constant(20000, 3);
  float Gain = N.Process(Loud.data(), 3);
  EXPECT_EQ(Loud[0], 32767.0f);
  EXPECT_NEAR(Loud[1], 20000.0f, 1e-3); // gain 1.0 after one back-off
  EXPECT_NEAR(Loud[2], 20000.0f, 1e-3);
  EXPECT_NEAR(Gain, 1.0f, 1e-6);
  auto Neg = Constant(-40000, 1);
  EXPECT_NEAR(N.Process(Neg.data(), 1), 0.0f, 1e-6);
  EXPECT_EQ(Neg[0], -32767.0f);
}

} // namespace
} // namespace orlavonix
