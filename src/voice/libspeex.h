#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <speex/speex.h>

#include "base/Exceptions.h"

namespace orlavonix {

ORLAVONIX_DECLARE_EXCEPTION(ESpeexError, Exception);

constexpr const char* SpeexLibraryName = "libspeex.so.1.0.0";
// The name Debian's package installs; tried when the one above is absent.
constexpr const char* SpeexLibrarySoname = "libspeex.so.1";

// Entry points bound in this order when the library opens.
struct TSpeexEntryPoints {
  decltype(&::speex_bits_init) speex_bits_init = nullptr;
  decltype(&::speex_bits_reset) speex_bits_reset = nullptr;
  decltype(&::speex_bits_destroy) speex_bits_destroy = nullptr;
  decltype(&::speex_bits_write) speex_bits_write = nullptr;
  decltype(&::speex_bits_read_from) speex_bits_read_from = nullptr;
  const SpeexMode* speex_nb_mode = nullptr;
  decltype(&::speex_encoder_init) speex_encoder_init = nullptr;
  decltype(&::speex_encoder_destroy) speex_encoder_destroy = nullptr;
  decltype(&::speex_encode) speex_encode = nullptr;
  decltype(&::speex_encoder_ctl) speex_encoder_ctl = nullptr;
  decltype(&::speex_decoder_init) speex_decoder_init = nullptr;
  decltype(&::speex_decoder_destroy) speex_decoder_destroy = nullptr;
  decltype(&::speex_decode) speex_decode = nullptr;
  decltype(&::speex_decoder_ctl) speex_decoder_ctl = nullptr;
  decltype(&::speex_mode_query) speex_mode_query = nullptr;
};

extern TSpeexEntryPoints Speex;

int32_t LoadSpeex();
int32_t UnloadSpeex();
std::string SpeexErrorText(int32_t Code);
bool SpeexLoaded();

// Tried in order; tests replace the list.
std::vector<std::string> DefaultSpeexLocations();
void SetSpeexLocations(std::vector<std::string> Locations);

// One Speex encoder or decoder with its bit packer.
struct TSpeexCodec {
  SpeexBits Bits{};
  void* State = nullptr;
};

// Target bit rates of Speex modes 0 to 7.
constexpr int32_t SpeexModeBitRates[8] = {2150, 3950, 5950, 8000, 11000, 15000, 18200, 24600};
constexpr int SpeexFrameSamples = 160;

void zqSpeexInitEncoder(TSpeexCodec& Codec);
void zqSpeexSetMode(TSpeexCodec& Codec, int32_t Mode);
// Length: capacity of Output on entry, payload length on return.
void zqSpeexEncode(TSpeexCodec& Codec, int32_t Count, const float* Samples, int32_t& Length,
                   uint8_t* Output);
void zqSpeexDoneEncoder(TSpeexCodec& Codec);
void zqSpeexInitDecoder(TSpeexCodec& Codec);
// Count: capacity of Output in samples on entry, samples produced on return.
void zqSpeexDecode(TSpeexCodec& Codec, const uint8_t* Data, int32_t Length, float* Output,
                   int32_t& Count);
void zqSpeexDoneDecoder(TSpeexCodec& Codec);

} // namespace orlavonix
