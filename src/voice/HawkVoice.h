#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hvdi/hvdi.h"

namespace orlavonix {

constexpr const char* HawkVoiceLibraryName = "libHVDI.so.0.8.0";

// The 22 entry points, bound in this order when the library opens.
struct THawkVoiceEntryPoints {
  decltype(&::hvdiNewEncState) hvdiNewEncState = nullptr;
  decltype(&::hvdiNewDecState) hvdiNewDecState = nullptr;
  decltype(&::hvdiDeleteEncState) hvdiDeleteEncState = nullptr;
  decltype(&::hvdiDeleteDecState) hvdiDeleteDecState = nullptr;
  decltype(&::hvdiEncStateSetCodec) hvdiEncStateSetCodec = nullptr;
  decltype(&::hvdiDecStateGetCodec) hvdiDecStateGetCodec = nullptr;
  decltype(&::hvdiNewEncryptionKey) hvdiNewEncryptionKey = nullptr;
  decltype(&::hvdiDeleteEncryptionKey) hvdiDeleteEncryptionKey = nullptr;
  decltype(&::hvdiPacketIsVoice) hvdiPacketIsVoice = nullptr;
  decltype(&::hvdiPacketDecode) hvdiPacketDecode = nullptr;
  decltype(&::hvdiPacketEncode) hvdiPacketEncode = nullptr;
  decltype(&::hvdiNewVOX) hvdiNewVOX = nullptr;
  decltype(&::hvdiVOX) hvdiVOX = nullptr;
  decltype(&::hvdiDeleteVOX) hvdiDeleteVOX = nullptr;
  decltype(&::hvdiNewRate) hvdiNewRate = nullptr;
  decltype(&::hvdiRateFlow) hvdiRateFlow = nullptr;
  decltype(&::hvdiDeleteRate) hvdiDeleteRate = nullptr;
  decltype(&::hvdiNewAGC) hvdiNewAGC = nullptr;
  decltype(&::hvdiAGC) hvdiAGC = nullptr;
  decltype(&::hvdiDeleteAGC) hvdiDeleteAGC = nullptr;
  decltype(&::hvdiMix) hvdiMix = nullptr;
  decltype(&::hvdiHint) hvdiHint = nullptr;
};

// Process-wide: filled by LoadHawkVoice, valid while the library is open.
extern THawkVoiceEntryPoints HawkVoice;

// 0 ok, -1 already open, -2 the file could not be opened, -3 a symbol is missing.
int32_t LoadHawkVoice();
// 0 ok, -1 not open, -2 closing failed (the handle is cleared anyway).
int32_t UnloadHawkVoice();
std::string HawkVoiceErrorText(int32_t Code);
bool HawkVoiceLoaded();

// Where LoadHawkVoice looks, in order: the bare name (system search path), the
// build tree, <program dir>/../lib/orlavonix and the install's library
// directory. Tests replace the list to simulate a missing library.
std::vector<std::string> DefaultHawkVoiceLocations();
void SetHawkVoiceLocations(std::vector<std::string> Locations);

// A 16-bit payload buffer the transmit path and the receive buffers share.
constexpr int HawkVoiceMaxPayload = HVDI_MAX_PAYLOAD;

} // namespace orlavonix
