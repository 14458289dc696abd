#include "voice/SoundUtils.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "protocol/logdebug.h"

namespace orlavonix {

const TCodecInfo Codecs[CodecCount] = {
    {"CELP 5.1 Kbit", TCodecLibrary::HawkVoice, 8, 2160},
    {"CELP 6.3 Kbit", TCodecLibrary::HawkVoice, 8, 720},
    {"GSM 14.8 Kbit", TCodecLibrary::HawkVoice, 3, 800},
    {"GSM 16.4 Kbit", TCodecLibrary::HawkVoice, 3, 480},
    {"unknown", TCodecLibrary::None, 0, 480},
    {"Speex 3.4 Kbit", TCodecLibrary::Speex, 0, 800},
    {"Speex 5.2 Kbit", TCodecLibrary::Speex, 1, 800},
    {"Speex 7.2 Kbit", TCodecLibrary::Speex, 2, 800},
    {"Speex 9.3 Kbit", TCodecLibrary::Speex, 3, 800},
    {"Speex 12.3 Kbit", TCodecLibrary::Speex, 4, 800},
    {"Speex 16.3 Kbit", TCodecLibrary::Speex, 5, 800},
    {"Speex 19.5 Kbit", TCodecLibrary::Speex, 6, 800},
    {"Speex 25.9 Kbit", TCodecLibrary::Speex, 7, 800},
};

std::string CodecName(int32_t Codec) {
  if (Codec < 0 || Codec >= CodecCount)
    return "unknown";
  return Codecs[Codec].Name;
}

void FillCodecList(std::vector<TCodecListItem>& List) {
  List.clear();
  for (int32_t C = 0; C < CodecCount; ++C)
    if (C != UnsupportedCodec)
      List.push_back({Codecs[C].Name, C});
}

int32_t GetSendSamples(int32_t Codec) {
  if (Codec < 0 || Codec >= CodecCount) {
    LogFmt(lkWarning, "TClient.snd_StoreSoundData[GetSendSamples]", "codec %1 given, 0 returned",
           Codec);
    return 0;
  }
  return Codecs[Codec].SendSamples;
}

int16_t FloatToSmallInt(float Value) {
  if (Value > 32767.0f)
    return 32767;
  if (Value < -32768.0f)
    return -32768;
#if defined(__SSE__)
  // The processor's conversion rounds to nearest, ties to even (the default
  // mode), without the library call nearbyint costs.
  return static_cast<int16_t>(_mm_cvtss_si32(_mm_set_ss(Value)));
#else
  return static_cast<int16_t>(std::nearbyint(Value));
#endif
}

void FloatsToSmallInts(const float* In, int16_t* Out, int32_t Count) {
  for (int32_t I = 0; I < Count; ++I)
    Out[I] = FloatToSmallInt(In[I]);
}

void SmallIntsToFloats(const int16_t* In, float* Out, int32_t Count) {
  for (int32_t I = 0; I < Count; ++I)
    Out[I] = In[I];
}

bool TVox::Check(const float* Samples, int32_t Count) {
  double Threshold = std::pow(32767.0, (1000.0 - FLevel) / 1000.0);
  double Sum = 0;
  for (int32_t I = 0; I < Count; ++I)
    Sum += std::fabs(Samples[I]);
  double Mean = Count > 0 ? Sum / Count : 0.0;
  if (Count > 0 && Mean >= Threshold) {
    FHold = FHoldTime;
    return true;
  }
  if (FHold > 0) {
    FHold -= Count;
    return true;
  }
  return false;
}

float TVoiceNormalizer::Process(float* Samples, int32_t Count) {
  constexpr int32_t Window = 800;
  constexpr float PeakFloor = 2000.0f;
  constexpr float Target = 22936.9f;
  constexpr float Limit = 32767.0f;
  for (int32_t I = 0; I < Count; ++I) {
    float X = Samples[I];
    FPeak = std::max(FPeak, std::fabs(X));
    if (++FCount >= Window) {
      if (FPeak > PeakFloor) {
        float D = std::clamp(Target / FPeak - FLastGain, -1.0f, 1.0f);
        FStep = std::fabs(D);
        FGain = std::clamp(FLastGain + D, 0.1f, 100.0f);
        FLastGain = FGain;
      }
      FPeak = PeakFloor;
      FCount = 0;
    }
    float Y = X * FGain;
    if (Y < -Limit) {
      FGain -= FStep;
      FLastGain = FGain;
      Y = -Limit;
    } else if (Y > Limit) {
      FGain -= FStep;
      FLastGain = FGain;
      Y = Limit;
    }
    Samples[I] = Y;
  }
  return FGain;
}

} // namespace orlavonix
