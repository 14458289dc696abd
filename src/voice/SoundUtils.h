#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orlavonix {

// Which library a codec number belongs to.
enum class TCodecLibrary { None, HawkVoice, Speex };

struct TCodecInfo {
  const char* Name;
  TCodecLibrary Library;
  int32_t Setting;     // HawkVoice codec value, or Speex mode
  int32_t SendSamples; // samples per packet at 8000 Hz
};

constexpr int32_t CodecCount = 13;
constexpr int32_t UnsupportedCodec = 4;
extern const TCodecInfo Codecs[CodecCount];

constexpr bool IsSpeexCodec(int32_t Codec) {
  return Codec >= 5 && Codec <= 12;
}

// Display name; "unknown" for 4 and every number outside 0 to 12.
std::string CodecName(int32_t Codec);

struct TCodecListItem {
  std::string Name;
  int32_t Codec;
};
// Clears the list and adds the twelve usable codecs in number order.
void FillCodecList(std::vector<TCodecListItem>& List);

// Samples per packet; 0 (and a log line) for numbers above 12.
int32_t GetSendSamples(int32_t Codec);

// Float samples on the 16-bit scale to 16 bits: clipped, nearest, ties to even.
int16_t FloatToSmallInt(float Value);
void FloatsToSmallInts(const float* In, int16_t* Out, int32_t Count);
void SmallIntsToFloats(const int16_t* In, float* Out, int32_t Count);

// Voice activation: the block's mean absolute amplitude against a threshold
// set by the level, with a hold of one second after the level drops.
class TVox {
public:
  explicit TVox(int32_t Level) : FLevel(Level) {}
  void SetLevel(int32_t Level) { FLevel = Level; }
  int32_t Level() const { return FLevel; }
  void Reset() { FHold = 0; }
  int32_t Hold() const { return FHold; }
  bool Check(const float* Samples, int32_t Count);

private:
  int32_t FHoldTime = 8000;
  int32_t FLevel;
  int32_t FHold = 0;
};

// Automatic gain: brings each 800-sample window's peak towards 70% of full
// scale, one step of at most 1.0 per window, backing off when a sample clips.
class TVoiceNormalizer {
public:
  float Process(float* Samples, int32_t Count);
  float Gain() const { return FGain; }

private:
  int32_t FCount = 0;
  float FPeak = 2000.0f;
  float FGain = 1.0f;
  float FLastGain = 1.0f;
  float FStep = 1.0f;
};

} // namespace orlavonix
