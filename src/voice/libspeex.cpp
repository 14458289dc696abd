#include "voice/libspeex.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/Format.h"
#include "voice/LibraryLoader.h"

namespace orlavonix {

TSpeexEntryPoints Speex;

namespace {
std::mutex GLock;
void* GHandle = nullptr;
bool GLocationsSet = false;
std::vector<std::string> GLocations;

template <typename T> bool Bind(T& Slot, const char* Name) {
  Slot = reinterpret_cast<T>(LibrarySymbol(GHandle, Name));
  return Slot != nullptr;
}

// Speex encoder/decoder control requests.
constexpr int SpeexSetEnhancer = 0;
constexpr int SpeexSetVbr = 12;
constexpr int SpeexSetBitrate = 18;
} // namespace

std::vector<std::string> DefaultSpeexLocations() {
  return {SpeexLibraryName, SpeexLibrarySoname};
}

void SetSpeexLocations(std::vector<std::string> Locations) {
  std::lock_guard G(GLock);
  GLocations = std::move(Locations);
  GLocationsSet = true;
}

bool SpeexLoaded() {
  std::lock_guard G(GLock);
  return GHandle != nullptr;
}

int32_t LoadSpeex() {
  std::lock_guard G(GLock);
  if (GHandle)
    return -1;
  GHandle = OpenFirstLibrary(GLocationsSet ? GLocations : DefaultSpeexLocations());
  if (!GHandle)
    return -2;
  auto& E = Speex;
  bool Ok =
      Bind(E.speex_bits_init, "speex_bits_init") && Bind(E.speex_bits_reset, "speex_bits_reset") &&
      Bind(E.speex_bits_destroy, "speex_bits_destroy") &&
      Bind(E.speex_bits_write, "speex_bits_write") &&
      Bind(E.speex_bits_read_from, "speex_bits_read_from") &&
      Bind(E.speex_nb_mode, "speex_nb_mode") && Bind(E.speex_encoder_init, "speex_encoder_init") &&
      Bind(E.speex_encoder_destroy, "speex_encoder_destroy") &&
      Bind(E.speex_encode, "speex_encode") && Bind(E.speex_encoder_ctl, "speex_encoder_ctl") &&
      Bind(E.speex_decoder_init, "speex_decoder_init") &&
      Bind(E.speex_decoder_destroy, "speex_decoder_destroy") &&
      Bind(E.speex_decode, "speex_decode") && Bind(E.speex_decoder_ctl, "speex_decoder_ctl") &&
      Bind(E.speex_mode_query, "speex_mode_query");
  return Ok ? 0 : -3;
}

int32_t UnloadSpeex() {
  std::lock_guard G(GLock);
  if (!GHandle)
    return -1;
  void* H = GHandle;
  GHandle = nullptr;
  Speex = TSpeexEntryPoints{};
  return CloseLibrary(H) ? 0 : -2;
}

std::string SpeexErrorText(int32_t Code) {
  switch (Code) {
  case -1:
    return "libspeex already initialized";
  case -2:
    return Format("Error loading libspeex (%s) Maybe not installed?", SpeexLibraryName);
  case -3:
    return "Error during binding functions in libspeex";
  default:
    return "Unknown libspeex Error";
  }
}

void zqSpeexInitEncoder(TSpeexCodec& Codec) {
  Speex.speex_bits_init(&Codec.Bits);
  Codec.State = Speex.speex_encoder_init(Speex.speex_nb_mode);
  int32_t Off = 0;
  Speex.speex_encoder_ctl(Codec.State, SpeexSetVbr, &Off);
}

void zqSpeexSetMode(TSpeexCodec& Codec, int32_t Mode) {
  if (Mode < 0 || Mode > 7)
    throw ESpeexError("Invalid speex mode");
  int32_t Rate = SpeexModeBitRates[Mode];
  Speex.speex_encoder_ctl(Codec.State, SpeexSetBitrate, &Rate);
}

void zqSpeexEncode(TSpeexCodec& Codec, int32_t Count, const float* Samples, int32_t& Length,
                   uint8_t* Output) {
  Speex.speex_bits_reset(&Codec.Bits);
  int32_t Frames = 0;
  float Frame[SpeexFrameSamples];
  // The encoder may scribble on its input, so each frame goes through a copy.
  for (int32_t Pos = 0; Pos + SpeexFrameSamples <= Count; Pos += SpeexFrameSamples) {
    ++Frames;
    std::memcpy(Frame, Samples + Pos, sizeof(Frame));
    Speex.speex_encode(Codec.State, Frame, &Codec.Bits);
  }
  if (Length < 1) {
    Length = 0;
    return;
  }
  Output[0] = static_cast<uint8_t>(Frames);
  int32_t Written =
      Speex.speex_bits_write(&Codec.Bits, reinterpret_cast<char*>(Output + 1), Length - 1);
  Length = Written + 1;
}

void zqSpeexDoneEncoder(TSpeexCodec& Codec) {
  if (!Codec.State)
    return;
  Speex.speex_bits_destroy(&Codec.Bits);
  Speex.speex_encoder_destroy(Codec.State);
  Codec.State = nullptr;
}

void zqSpeexInitDecoder(TSpeexCodec& Codec) {
  Speex.speex_bits_init(&Codec.Bits);
  Codec.State = Speex.speex_decoder_init(Speex.speex_nb_mode);
  int32_t On = 1;
  Speex.speex_decoder_ctl(Codec.State, SpeexSetEnhancer, &On);
}

void zqSpeexDecode(TSpeexCodec& Codec, const uint8_t* Data, int32_t Length, float* Output,
                   int32_t& Count) {
  int32_t Capacity = Count;
  Count = 0;
  // An empty payload carries no frame count at all.
  if (Length < 1)
    return;
  int32_t Frames = Data[0];
  Speex.speex_bits_read_from(&Codec.Bits, reinterpret_cast<const char*>(Data + 1), Length - 1);
  for (int32_t I = 0; I < Frames; ++I) {
    if (Capacity < SpeexFrameSamples)
      throw ESpeexError(
          Format("zqSpeexDecode: Buffer to small max: %d  fra: %d", Capacity, Frames - I - 1));
    // A frame the bit stream cannot supply leaves the decoder's output
    // untouched; start from silence so nothing stale is played.
    std::fill(Output, Output + SpeexFrameSamples, 0.0f);
    Speex.speex_decode(Codec.State, &Codec.Bits, Output);
    Capacity -= SpeexFrameSamples;
    Count += SpeexFrameSamples;
    Output += SpeexFrameSamples;
  }
}

void zqSpeexDoneDecoder(TSpeexCodec& Codec) {
  if (!Codec.State)
    return;
  Speex.speex_bits_destroy(&Codec.Bits);
  Speex.speex_decoder_destroy(Codec.State);
  Codec.State = nullptr;
}

} // namespace orlavonix
