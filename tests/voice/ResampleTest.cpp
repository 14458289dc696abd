#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "voice/resample.h"

namespace orlavonix {
namespace {

using UpFn = int32_t (*)(TUpsampler&, int32_t&, const float*, float*);
using DownFn = int32_t (*)(TDownsampler&, int32_t&, const float*, float*);

struct TVariant {
  const char* Name;
  UpFn Up;
  DownFn Down;
};
const TVariant Variants[] = {{"dispatch", &Upsample, &Downsample},
                             {"scalar", &UpsampleScalar, &DownsampleScalar},
                             {"sse", &UpsampleSSE, &DownsampleSSE}};

TEST(Resampler, ConsumesWholeBlocksOnly) {
  struct {
    bool Up;
    int32_t Given, Consumed, Produced;
  } Cases[] = {{true, 7, 0, 0},    {true, 8, 8, 22},   {true, 15, 8, 22},  {true, 16, 16, 44},
               {true, 0, 0, 0},    {false, 10, 0, 0},  {false, 11, 11, 4}, {false, 22, 22, 8},
               {false, 32, 22, 8}, {false, 33, 33, 12}};
  alignas(16) float In[64] = {};
  float Out[256];
  for (auto& V : Variants)
    for (auto& C : Cases) {
      int32_t Count = C.Given;
      int32_t N;
      if (C.Up) {
        TUpsampler S;
        InitUpsampler(S);
        N = V.Up(S, Count, In, Out);
      } else {
        TDownsampler S;
        InitDownsampler(S);
        N = V.Down(S, Count, In, Out);
      }
      EXPECT_EQ(Count, C.Consumed) << V.Name << " " << C.Given;
      EXPECT_EQ(N, C.Produced) << V.Name << " " << C.Given;
    }
}

TEST(Resampler, ImpulseResponsesAreTheKernelPhases) {
  for (auto& V : Variants) {
    alignas(16) float In[88] = {};
    In[0] = 1.0f;
    float Out[242];
    TUpsampler U;
    InitUpsampler(U);
    int32_t Count = 88;
    ASSERT_EQ(V.Up(U, Count, In, Out), 242);
    for (int J = 0; J < 242; ++J)
      EXPECT_EQ(Out[J], J <= 10 ? UpsampleKernel[4 * J] : 0.0f) << V.Name << " up " << J;
    EXPECT_FLOAT_EQ(Out[1], -0.0287f);
    EXPECT_FLOAT_EQ(Out[5], 0.9292f);

    // Decimator: y[j] = h_down[11j + 1 - 4n]; an impulse at n gives taps 11j+1-4n.
    for (int N = 0; N < 11; ++N) {
      float DIn[66] = {};
      DIn[N] = 1.0f;
      float DOut[24];
      TDownsampler D;
      InitDownsampler(D);
      int32_t DCount = 66;
      ASSERT_EQ(V.Down(D, DCount, DIn, DOut), 24);
      for (int J = 0; J < 24; ++J) {
        int K = 11 * J + 1 - 4 * N;
        float Want = (K >= 0 && K < DownsampleTaps) ? DownsampleKernel[K] : 0.0f;
        EXPECT_EQ(DOut[J], Want) << V.Name << " down n=" << N << " j=" << J;
      }
    }
  }
}

TEST(Resampler, ConstantInputSettlesAtThePhaseSums) {
  alignas(16) float Ones[880];
  std::fill(std::begin(Ones), std::end(Ones), 1.0f);
  float Out[2420];
  TUpsampler U;
  InitUpsampler(U);
  int32_t Count = 880;
  Upsample(U, Count, Ones, Out);
  for (int J = 22; J < 2420; ++J) {
    EXPECT_GE(Out[J], 0.9996f) << J;
    EXPECT_LE(Out[J], 1.0073f) << J;
  }
  TDownsampler D;
  InitDownsampler(D);
  Count = 880;
  Downsample(D, Count, Ones, Out);
  for (int J = 8; J < 320; ++J) {
    EXPECT_GE(Out[J], 0.8505f) << J;
    EXPECT_LE(Out[J], 0.8525f) << J;
  }
}

std::vector<float> Noise(size_t N, unsigned Seed) {
  std::mt19937 Gen(Seed);
  std::uniform_real_distribution<float> Dist(-32768.0f, 32767.0f);
  std::vector<float> V(N);
  for (auto& X : V)
    X = Dist(Gen);
  return V;
}

// Feeds the stream in pieces of the given lengths, carrying the unconsumed
// rest over the way the sound devices do.
template <typename State, typename Fn>
std::vector<float> RunSplit(Fn F, const std::vector<float>& In, const std::vector<int>& Pieces,
                            void (*Init)(State&)) {
  State S;
  Init(S);
  std::vector<float> Out;
  std::vector<float> PendingStore(In.size() + 16), Buf(In.size() * 3 + 64);
  float* Pending = PendingStore.data();
  int32_t PendingCount = 0;
  size_t Pos = 0, P = 0;
  while (Pos < In.size()) {
    size_t Take = std::min(In.size() - Pos, size_t(Pieces[P++ % Pieces.size()]));
    std::memcpy(Pending + PendingCount, In.data() + Pos, Take * sizeof(float));
    PendingCount += int32_t(Take);
    Pos += Take;
    int32_t Count = PendingCount;
    int32_t N = F(S, Count, Pending, Buf.data());
    Out.insert(Out.end(), Buf.begin(), Buf.begin() + N);
    std::memmove(Pending, Pending + Count, size_t(PendingCount - Count) * sizeof(float));
    PendingCount -= Count;
  }
  return Out;
}

TEST(Resampler, SplittingTheStreamChangesNothingAndVariantsAgreeBitForBit) {
  auto In = Noise(88 * 40, 7);
  const std::vector<std::vector<int>> Splits = {{int(In.size())}, {1}, {7, 13, 1, 100}, {8}, {11},
                                                {3, 250}};
  for (auto& V : Variants) {
    auto WholeUp = RunSplit<TUpsampler>(V.Up, In, Splits[0], &InitUpsampler);
    auto WholeDown = RunSplit<TDownsampler>(V.Down, In, Splits[0], &InitDownsampler);
    ASSERT_EQ(WholeUp.size(), In.size() / 8 * 22);
    ASSERT_EQ(WholeDown.size(), In.size() / 11 * 4);
    for (auto& Split : Splits) {
      EXPECT_EQ(RunSplit<TUpsampler>(V.Up, In, Split, &InitUpsampler), WholeUp) << V.Name;
      EXPECT_EQ(RunSplit<TDownsampler>(V.Down, In, Split, &InitDownsampler), WholeDown) << V.Name;
    }
    auto RefUp = RunSplit<TUpsampler>(&UpsampleScalar, In, Splits[0], &InitUpsampler);
    auto RefDown = RunSplit<TDownsampler>(&DownsampleScalar, In, Splits[0], &InitDownsampler);
    EXPECT_EQ(0, std::memcmp(WholeUp.data(), RefUp.data(), RefUp.size() * sizeof(float))) << V.Name;
    EXPECT_EQ(0, std::memcmp(WholeDown.data(), RefDown.data(), RefDown.size() * sizeof(float)))
        << V.Name;
  }
  // This machine is x86-64, where the SSE path must be the one in use.
#if defined(__x86_64__)
  EXPECT_TRUE(ResamplerUsesSSE());
#endif
}

TEST(Resampler, MatchesTheDefiningSum) {
  auto In = Noise(88 * 4, 3);
  TUpsampler U;
  InitUpsampler(U);
  std::vector<float> Out(In.size() / 8 * 22);
  int32_t Count = int32_t(In.size());
  Upsample(U, Count, In.data(), Out.data());
  for (size_t J = 0; J < Out.size(); ++J) {
    double Want = 0;
    for (long N = 0; N < long(In.size()); ++N) {
      long K = 4 * long(J) - 11 * N;
      if (K >= 0 && K < UpsampleTaps)
        Want += double(In[size_t(N)]) * UpsampleKernel[K];
    }
    EXPECT_NEAR(Out[J], Want, 0.02) << J;
  }
  TDownsampler D;
  InitDownsampler(D);
  std::vector<float> DOut(In.size() / 11 * 4);
  Count = int32_t(In.size());
  Downsample(D, Count, In.data(), DOut.data());
  for (size_t J = 0; J < DOut.size(); ++J) {
    double Want = 0;
    for (long N = 0; N < long(In.size()); ++N) {
      long K = 11 * long(J) + 1 - 4 * N;
      if (K >= 0 && K < DownsampleTaps)
        Want += double(In[size_t(N)]) * DownsampleKernel[K];
    }
    EXPECT_NEAR(DOut[J], Want, 0.02) << J;
  }
}

} // namespace
} // namespace orlavonix
