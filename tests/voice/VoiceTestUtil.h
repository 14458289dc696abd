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

#include "voice/HawkVoice.h"
#include "voice/libspeex.h"

namespace orlavonix::test {

// Installs itself as the global log and keeps every line as "context|text".
class TCaptureLog : public TLogObject {
public:
  static TCaptureLog& Install() {
    auto Log = std::make_unique<TCaptureLog>();
    auto* Raw = Log.get();
    Log->SetOptions(LogSet({lkAll}), LogSet({llAll}));
    SetGlobalLog(std::move(Log));
    return *Raw;
  }
  void WriteLine(std::string_view Text, std::string_view Context, TLogKind, TLogLevel) override {
    std::lock_guard G(FLock);
    FLines.push_back(std::string(Context) + "|" + std::string(Text));
  }
  void WriteHeader() override {}
  void LogMemory(TLogKind, TLogLevel, std::string_view) override {}
  void LogEntered(TLogKind, TLogLevel, std::string_view, std::string_view) override {}
  void LogEnteredFmt(TLogKind, TLogLevel, std::string_view, std::string_view,
                     const TVariants&) override {}
  void LogLeft(TLogKind, TLogLevel, std::string_view, std::string_view) override {}
  void LogLeftFmt(TLogKind, TLogLevel, std::string_view, std::string_view,
                  const TVariants&) override {}
  int CountContaining(const std::string& Part) {
    std::lock_guard G(FLock);
    return int(std::count_if(FLines.begin(), FLines.end(), [&](const std::string& L) {
      return L.find(Part) != std::string::npos;
    }));
  }
  std::vector<std::string> Lines() {
    std::lock_guard G(FLock);
    return FLines;
  }

private:
  std::mutex FLock;
  std::vector<std::string> FLines;
};

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
