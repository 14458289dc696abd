#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <vector>

#include "protocol/logdebug.h"

#include "support/LogCapture.h"
#include "voice/HawkVoice.h"
#include "voice/libspeex.h"

namespace orlavonix::test {

// The shared in-memory log; lines read as "context|text".
using TCaptureLog = TLogCapture;

// Opens both codec libraries for one test and closes them afterwards.
class TCodecLibraries {
public:
  TCodecLibraries() {
    HawkStatus = LoadHawkVoice();
    SpeexStatus = LoadSpeex();
  }
  ~TCodecLibraries() {
    if (SpeexStatus == 0)
      UnloadSpeex();
    if (HawkStatus == 0)
      UnloadHawkVoice();
  }
  bool Ok() const { return HawkStatus == 0 && SpeexStatus == 0; }
  int HawkStatus;
  int SpeexStatus;
};

inline std::vector<float> Tone(double Hz, double Amplitude, int Count, int Start = 0,
                               double Rate = 8000.0) {
  std::vector<float> S(static_cast<size_t>(Count));
  for (int I = 0; I < Count; ++I)
    S[static_cast<size_t>(I)] =
        static_cast<float>(Amplitude * std::sin(2 * std::numbers::pi * Hz * (I + Start) / Rate));
  return S;
}

// Power at one frequency (Goertzel), normalised by length.
inline double PowerAt(const float* S, size_t N, double Hz, double Rate) {
  double W = 2 * std::numbers::pi * Hz / Rate, C = 2 * std::cos(W), S1 = 0, S2 = 0;
  for (size_t I = 0; I < N; ++I) {
    double S0 = S[I] + C * S1 - S2;
    S2 = S1;
    S1 = S0;
  }
  return (S1 * S1 + S2 * S2 - C * S1 * S2) / (double(N) * double(N));
}

// The strongest frequency on a 10 Hz grid from 100 Hz to just below Nyquist.
inline double DominantFrequency(const float* S, size_t N, double Rate) {
  double Best = 0, BestHz = 0;
  for (double Hz = 100; Hz < Rate / 2 - 50; Hz += 10) {
    double P = PowerAt(S, N, Hz, Rate);
    if (P > Best) {
      Best = P;
      BestHz = Hz;
    }
  }
  return BestHz;
}

inline double DominantFrequency(const std::vector<float>& S, double Rate) {
  return DominantFrequency(S.data(), S.size(), Rate);
}

inline double Rms(const float* S, size_t N) {
  double Sum = 0;
  for (size_t I = 0; I < N; ++I)
    Sum += double(S[I]) * S[I];
  return N ? std::sqrt(Sum / double(N)) : 0.0;
}

inline double LevelDb(double Rms, double Reference) {
  return 20 * std::log10(Rms / Reference);
}

} // namespace orlavonix::test
