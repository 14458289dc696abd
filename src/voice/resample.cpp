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
  int Index[24][UpTerms]{};
  alignas(16) float Coef[6][UpTerms][4]{};
  int VIndex[6][UpTerms][4]{};
};

constexpr int FloorDiv(int A, int B) {
  return A >= 0 ? A / B : -((-A + B - 1) / B);
}

constexpr TUpPlan MakeUpPlan() {
  TUpPlan P{};
  for (int R = 0; R < 24; ++R)
    for (int T = 0; T < UpTerms; ++T) {
      int Idx = 0;
      float C = 0;
      if (R < UpOut) {
        int MLow = FloorDiv(4 * R - 43 + 10, 11); // ceil((4r-43)/11)
        int M = MLow + T;
        Idx = M + UpHist;
        C = UpK[static_cast<size_t>(4 * R - 11 * M)];
      }
      P.Index[R][T] = Idx;
      P.Coef[R / 4][T][R % 4] = C;
      P.VIndex[R / 4][T][R % 4] = Idx;
    }
  return P;
}

struct TDownPlan {
  int Index[DownOut][DownTerms]{};
  alignas(16) float Coef[DownTerms][4]{};
};

constexpr TDownPlan MakeDownPlan() {
  TDownPlan P{};
  for (int R = 0; R < DownOut; ++R)
    for (int T = 0; T < DownTerms; ++T) {
      int MLow = FloorDiv(11 * R + 1 - 23 + 3, 4); // ceil((11r+1-23)/4)
      int M = MLow + T;
      P.Index[R][T] = M + DownHist;
      P.Coef[T][R] = DownK[static_cast<size_t>(11 * R + 1 - 4 * M)];
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

// Both variants form the same products and add them in the same order:
// up ((p0 + p1) + (p2 + p3)), down (((p0 + p1) + (p2 + p3)) + (p4 + p5)).

int32_t UpsampleScalar(TUpsampler& State, int32_t& Count, const float* Input, float* Output) {
  int32_t Blocks = Count / UpIn;
  Count = Blocks * UpIn;
  float Ext[UpHist + UpIn];
  for (int32_t B = 0; B < Blocks; ++B) {
    Extend<UpHist, UpIn>(Ext, State.History, Input + B * UpIn);
    float* Y = Output + B * UpOut;
    for (int R = 0; R < UpOut; ++R) {
      const int* I = UpPlan.Index[R];
      float P0 = UpPlan.Coef[R / 4][0][R % 4] * Ext[I[0]];
      float P1 = UpPlan.Coef[R / 4][1][R % 4] * Ext[I[1]];
      float P2 = UpPlan.Coef[R / 4][2][R % 4] * Ext[I[2]];
      float P3 = UpPlan.Coef[R / 4][3][R % 4] * Ext[I[3]];
      Y[R] = (P0 + P1) + (P2 + P3);
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
      const int* I = DownPlan.Index[R];
      float P[DownTerms];
      for (int T = 0; T < DownTerms; ++T)
        P[T] = DownPlan.Coef[T][R] * Ext[I[T]];
      Y[R] = ((P[0] + P[1]) + (P[2] + P[3])) + (P[4] + P[5]);
    }
    std::memcpy(State.History, Ext + DownIn, DownHist * sizeof(float));
  }
  return Blocks * DownOut;
}

#ifdef ORLAVONIX_HAVE_SSE

int32_t UpsampleSSE(TUpsampler& State, int32_t& Count, const float* Input, float* Output) {
  int32_t Blocks = Count / UpIn;
  Count = Blocks * UpIn;
  alignas(16) float Ext[UpHist + UpIn + 1];
  Ext[UpHist + UpIn] = 0;
  alignas(16) float Y[24];
  for (int32_t B = 0; B < Blocks; ++B) {
    Extend<UpHist, UpIn>(Ext, State.History, Input + B * UpIn);
    for (int V = 0; V < 6; ++V) {
      __m128 P[UpTerms];
      for (int T = 0; T < UpTerms; ++T) {
        const int* I = UpPlan.VIndex[V][T];
        __m128 X = _mm_setr_ps(Ext[I[0]], Ext[I[1]], Ext[I[2]], Ext[I[3]]);
        P[T] = _mm_mul_ps(_mm_load_ps(UpPlan.Coef[V][T]), X);
      }
      _mm_store_ps(Y + 4 * V, _mm_add_ps(_mm_add_ps(P[0], P[1]), _mm_add_ps(P[2], P[3])));
    }
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
    __m128 P[DownTerms];
    for (int T = 0; T < DownTerms; ++T) {
      __m128 X = _mm_setr_ps(Ext[DownPlan.Index[0][T]], Ext[DownPlan.Index[1][T]],
                             Ext[DownPlan.Index[2][T]], Ext[DownPlan.Index[3][T]]);
      P[T] = _mm_mul_ps(_mm_load_ps(DownPlan.Coef[T]), X);
    }
    __m128 S = _mm_add_ps(_mm_add_ps(_mm_add_ps(P[0], P[1]), _mm_add_ps(P[2], P[3])),
                          _mm_add_ps(P[4], P[5]));
    _mm_storeu_ps(Output + B * DownOut, S);
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
