#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

namespace orlavonix::test {

// Squared magnitude of one frequency over N samples (Goertzel).
inline double TonePower(const int16_t* X, size_t N, double Hz, double Rate) {
  double W = 2 * std::numbers::pi * Hz / Rate, C = 2 * std::cos(W);
  double S1 = 0, S2 = 0;
  for (size_t I = 0; I < N; ++I) {
    double S0 = X[I] + C * S1 - S2;
    S2 = S1;
    S1 = S0;
  }
  return S1 * S1 + S2 * S2 - C * S1 * S2;
}

struct TToneReport {
  double Hz = 0;      // median strongest frequency of the windows with sound
  double Purity = 0;  // median share of a window's energy in that frequency
  size_t Windows = 0; // windows loud enough to count
};

// Cuts the signal into 0.1 s windows (10 Hz bins at 22050 Hz), skips quiet
// ones, and finds each window's strongest frequency between 50 and 5000 Hz.
// A clean tone gives a purity near 1; lost or repeated pieces spread energy
// over other frequencies and pull it down.
inline TToneReport AnalyseTone(const std::vector<int16_t>& S, double MinRms = 500,
                               double Rate = 22050) {
  const size_t N = size_t(Rate / 10);
  std::vector<double> Peaks, Purities;
  for (size_t At = 0; At + N <= S.size(); At += N) {
    double Energy = 0;
    for (size_t I = 0; I < N; ++I)
      Energy += double(S[At + I]) * S[At + I];
    if (std::sqrt(Energy / N) < MinRms)
      continue;
    double Best = 0, BestHz = 0;
    for (double Hz = 50; Hz <= 5000; Hz += 10) {
      double P = TonePower(&S[At], N, Hz, Rate);
      if (P > Best) {
        Best = P;
        BestHz = Hz;
      }
    }
    Peaks.push_back(BestHz);
    Purities.push_back(Best / (N * Energy / 2));
  }
  TToneReport R;
  R.Windows = Peaks.size();
  if (Peaks.empty())
    return R;
  std::sort(Peaks.begin(), Peaks.end());
  std::sort(Purities.begin(), Purities.end());
  R.Hz = Peaks[Peaks.size() / 2];
  R.Purity = Purities[Purities.size() / 2];
  return R;
}

inline std::vector<int16_t> ReadRaw16(const std::string& Path) {
  std::vector<int16_t> S;
  if (std::FILE* F = std::fopen(Path.c_str(), "rb")) {
    int16_t Buf[4096];
    size_t N;
    while ((N = std::fread(Buf, 2, 4096, F)) > 0)
      S.insert(S.end(), Buf, Buf + N);
    std::fclose(F);
  }
  return S;
}

inline std::vector<int16_t> Sine(double Hz, double Seconds, double Amplitude, double Rate = 22050) {
  std::vector<int16_t> S(size_t(Seconds * Rate));
  for (size_t I = 0; I < S.size(); ++I)
    S[I] = int16_t(std::lround(Amplitude * std::sin(2 * std::numbers::pi * Hz * I / Rate)));
  return S;
}

} // namespace orlavonix::test
