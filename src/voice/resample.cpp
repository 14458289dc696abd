#include "voice/resample.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <xmmintrin.h>
#define ORLAVONIX_HAVE_SSE 1
#endif

namespace orlavonix {

namespace {

constexpr std::array<float, UpsampleTaps> MakeUp() {
  constexpr float Half[23] = {0,        -0.0028f, -0.0084f, -0.0171f, -0.0287f, -0.0421f,
                              -0.0554f, -0.0657f, -0.0693f, -0.0622f, -0.0402f, 0,
                              0.0608f,  0.1426f,  0.2440f,  0.3610f,  0.4879f,  0.6168f,
                              0.7392f,  0.8460f,  0.9292f,  0.9819f,  1.0f};
  std::array<float, UpsampleTaps> H{};
  for (int K = 0; K <= 22; ++K)
    H[K] = Half[K];
  for (int K = 23; K < UpsampleTaps; ++K)
    H[K] = Half[44 - K];
  return H;
}

constexpr std::array<float, DownsampleTaps> MakeDown() {
  constexpr float Half[13] = {0,       0,       0.0032f, 0.0124f, 0.0308f, 0.0607f, 0.1028f,
                              0.1553f, 0.2136f, 0.2709f, 0.3195f, 0.3521f, 0.3636f};
  std::array<float, DownsampleTaps> H{};
  for (int K = 0; K <= 12; ++K)
    H[K] = Half[K];
  for (int K = 13; K < DownsampleTaps; ++K)
    H[K] = Half[24 - K];
  return H;
}

constexpr auto UpK = MakeUp();
constexpr auto DownK = MakeDown();

// Per output of a block, the terms it sums: an index into the block's inputs
// extended by the history in front, and the kernel tap.
//  up:   output r (0..21) of 8 inputs, y = sum x[m] h_up[4r - 11m], 4 terms
//  down: output r (0..3) of 11 inputs, y = sum x[m] h_down[11r + 1 - 4m], 6 terms
constexpr int UpOut = 22, UpIn = 8, UpHist = 3, UpTerms = 4;
constexpr int DownOut = 4, DownIn = 11, DownHist = 5, DownTerms = 6;

struct TUpPlan {
  int Index[UpOut][UpTerms]{};
  float Coef[UpOut][UpTerms]{};
  // Per extended input e, its tap for each of 24 outputs (the last two unused).
  alignas(16) float Column[UpHist + UpIn][24]{};
};

constexpr int FloorDiv(int A, int B) {
  return A >= 0 ? A / B : -((-A + B - 1) / B);
}

constexpr TUpPlan MakeUpPlan() {
  TUpPlan P{};
  for (int R = 0; R < UpOut; ++R)
    for (int T = 0; T < UpTerms; ++T) {
      int M = FloorDiv(4 * R - 43 + 10, 11) + T; // from ceil((4r-43)/11) upwards
      P.Index[R][T] = M + UpHist;
      P.Coef[R][T] = UpK[static_cast<size_t>(4 * R - 11 * M)];
      P.Column[M + UpHist][R] = P.Coef[R][T];
    }
  return P;
}

struct TDownPlan {
  int Index[DownOut][DownTerms]{};
  float Coef[DownOut][DownTerms]{};
  alignas(16) float Column[DownHist + DownIn][4]{};
};

constexpr TDownPlan MakeDownPlan() {
  TDownPlan P{};
  for (int R = 0; R < DownOut; ++R)
    for (int T = 0; T < DownTerms; ++T) {
      int M = FloorDiv(11 * R + 1 - 23 + 3, 4) + T; // from ceil((11r+1-23)/4) upwards
      P.Index[R][T] = M + DownHist;
      P.Coef[R][T] = DownK[static_cast<size_t>(11 * R + 1 - 4 * M)];
      P.Column[M + DownHist][R] = P.Coef[R][T];
    }
  return P;
}

constexpr TUpPlan UpPlan = MakeUpPlan();
constexpr TDownPlan DownPlan = MakeDownPlan();

template <int Hist, int In> inline void Extend(float* Ext, const float* History, const float* X) {
  std::memcpy(Ext, History, Hist * sizeof(float));
  std::memcpy(Ext + Hist, X, In * sizeof(float));
}

} // namespace

const float UpsampleKernel[UpsampleTaps] = {
    UpK[0],  UpK[1],  UpK[2],  UpK[3],  UpK[4],  UpK[5],  UpK[6],  UpK[7],  UpK[8],
    UpK[9],  UpK[10], UpK[11], UpK[12], UpK[13], UpK[14], UpK[15], UpK[16], UpK[17],
    UpK[18], UpK[19], UpK[20], UpK[21], UpK[22], UpK[23], UpK[24], UpK[25], UpK[26],
    UpK[27], UpK[28], UpK[29], UpK[30], UpK[31], UpK[32], UpK[33], UpK[34], UpK[35],
    UpK[36], UpK[37], UpK[38], UpK[39], UpK[40], UpK[41], UpK[42], UpK[43]};
const float DownsampleKernel[DownsampleTaps] = {
    DownK[0],  DownK[1],  DownK[2],  DownK[3],  DownK[4],  DownK[5],  DownK[6],  DownK[7],
    DownK[8],  DownK[9],  DownK[10], DownK[11], DownK[12], DownK[13], DownK[14], DownK[15],
    DownK[16], DownK[17], DownK[18], DownK[19], DownK[20], DownK[21], DownK[22], DownK[23]};

void InitUpsampler(TUpsampler& State) {
  State = TUpsampler{};
}
void InitDownsampler(TDownsampler& State) {
  State = TDownsampler{};
}

// Both variants start each output at +0 and add its products in the order of
// their inputs. The SSE variant also adds the zero products of inputs that do
// not reach an output; adding a zero to a sum that starts at +0 changes no
// bit, so the results are identical for all finite inputs.

int32_t UpsampleScalar(TUpsampler& State, int32_t& Count, const float* Input, float* Output) {
  int32_t Blocks = Count / UpIn;
  Count = Blocks * UpIn;
  float Ext[UpHist + UpIn];
  for (int32_t B = 0; B < Blocks; ++B) {
    Extend<UpHist, UpIn>(Ext, State.History, Input + B * UpIn);
    float* Y = Output + B * UpOut;
    for (int R = 0; R < UpOut; ++R) {
      float Acc = 0.0f;
      for (int T = 0; T < UpTerms; ++T)
        Acc += UpPlan.Coef[R][T] * Ext[UpPlan.Index[R][T]];
      Y[R] = Acc;
    }
    std::memcpy(State.History, Ext + UpIn, UpHist * sizeof(float));
  }
  return Blocks * UpOut;
}

int32_t DownsampleScalar(TDownsampler& State, int32_t& Count, const float* Input, float* Output) {
  int32_t Blocks = Count / DownIn;
  Count = Blocks * DownIn;
  float Ext[DownHist + DownIn];
  for (int32_t B = 0; B < Blocks; ++B) {
    Extend<DownHist, DownIn>(Ext, State.History, Input + B * DownIn);
    float* Y = Output + B * DownOut;
    for (int R = 0; R < DownOut; ++R) {
      float Acc = 0.0f;
      for (int T = 0; T < DownTerms; ++T)
        Acc += DownPlan.Coef[R][T] * Ext[DownPlan.Index[R][T]];
      Y[R] = Acc;
    }
    std::memcpy(State.History, Ext + DownIn, DownHist * sizeof(float));
  }
  return Blocks * DownOut;
}

#ifdef ORLAVONIX_HAVE_SSE

int32_t UpsampleSSE(TUpsampler& State, int32_t& Count, const float* Input, float* Output) {
  int32_t Blocks = Count / UpIn;
  Count = Blocks * UpIn;
  float Ext[UpHist + UpIn];
  alignas(16) float Y[24];
  for (int32_t B = 0; B < Blocks; ++B) {
    Extend<UpHist, UpIn>(Ext, State.History, Input + B * UpIn);
    __m128 Acc[6];
    for (auto& A : Acc)
      A = _mm_setzero_ps();
    for (int E = 0; E < UpHist + UpIn; ++E) {
      __m128 X = _mm_set1_ps(Ext[E]);
      for (int V = 0; V < 6; ++V)
        Acc[V] = _mm_add_ps(Acc[V], _mm_mul_ps(X, _mm_load_ps(UpPlan.Column[E] + 4 * V)));
    }
    for (int V = 0; V < 6; ++V)
      _mm_store_ps(Y + 4 * V, Acc[V]);
    std::memcpy(Output + B * UpOut, Y, UpOut * sizeof(float));
    std::memcpy(State.History, Ext + UpIn, UpHist * sizeof(float));
  }
  return Blocks * UpOut;
}

int32_t DownsampleSSE(TDownsampler& State, int32_t& Count, const float* Input, float* Output) {
  int32_t Blocks = Count / DownIn;
  Count = Blocks * DownIn;
  float Ext[DownHist + DownIn];
  for (int32_t B = 0; B < Blocks; ++B) {
    Extend<DownHist, DownIn>(Ext, State.History, Input + B * DownIn);
    __m128 Acc = _mm_setzero_ps();
    for (int E = 0; E < DownHist + DownIn; ++E)
      Acc = _mm_add_ps(Acc, _mm_mul_ps(_mm_set1_ps(Ext[E]), _mm_load_ps(DownPlan.Column[E])));
    _mm_storeu_ps(Output + B * DownOut, Acc);
    std::memcpy(State.History, Ext + DownIn, DownHist * sizeof(float));
  }
  return Blocks * DownOut;
}

bool ProcessorHasSSE() {
  static const bool Has = [] {
    unsigned A = 0, B = 0, C = 0, D = 0;
    if (!__get_cpuid(1, &A, &B, &C, &D))
      return false;
    return (D & (1u << 24)) != 0 && (D & (1u << 25)) != 0; // FXSR, then SSE
  }();
  return Has;
}

#else

int32_t UpsampleSSE(TUpsampler& State, int32_t& Count, const float* Input, float* Output) {
  return UpsampleScalar(State, Count, Input, Output);
}
int32_t DownsampleSSE(TDownsampler& State, int32_t& Count, const float* Input, float* Output) {
  return DownsampleScalar(State, Count, Input, Output);
}
bool ProcessorHasSSE() {
  return false;
}

#endif

bool ResamplerUsesSSE() {
  return ProcessorHasSSE();
}

int32_t Upsample(TUpsampler& State, int32_t& Count, const float* Input, float* Output) {
  static const auto Fn = ResamplerUsesSSE() ? &UpsampleSSE : &UpsampleScalar;
  return Fn(State, Count, Input, Output);
}

int32_t Downsample(TDownsampler& State, int32_t& Count, const float* Input, float* Output) {
  static const auto Fn = ResamplerUsesSSE() ? &DownsampleSSE : &DownsampleScalar;
  return Fn(State, Count, Input, Output);
}

} // namespace orlavonix
