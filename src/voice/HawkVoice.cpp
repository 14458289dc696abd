#include "voice/HawkVoice.h"

#include <mutex>

#include "base/Format.h"
#include "voice/LibraryLoader.h"

namespace orlavonix {

THawkVoiceEntryPoints HawkVoice;

namespace {
std::mutex GLock;
void* GHandle = nullptr;
bool GLocationsSet = false;
std::vector<std::string> GLocations;

template <typename T> bool Bind(T& Slot, const char* Name) {
  Slot = reinterpret_cast<T>(LibrarySymbol(GHandle, Name));
  return Slot != nullptr;
}
} // namespace

std::vector<std::string> DefaultHawkVoiceLocations() {
  std::vector<std::string> L{HawkVoiceLibraryName};
#ifdef ORLAVONIX_HVDI_BUILD_DIR
  L.push_back(std::string(ORLAVONIX_HVDI_BUILD_DIR) + "/" + HawkVoiceLibraryName);
#endif
  auto Dir = ProgramDirectory();
  if (!Dir.empty())
    L.push_back(Dir + "/../lib/orlavonix/" + HawkVoiceLibraryName);
#ifdef ORLAVONIX_HVDI_INSTALL_DIR
  L.push_back(std::string(ORLAVONIX_HVDI_INSTALL_DIR) + "/" + HawkVoiceLibraryName);
#endif
  return L;
}

void SetHawkVoiceLocations(std::vector<std::string> Locations) {
  std::lock_guard G(GLock);
  GLocations = std::move(Locations);
  GLocationsSet = true;
}

bool HawkVoiceLoaded() {
  std::lock_guard G(GLock);
  return GHandle != nullptr;
}

int32_t LoadHawkVoice() {
  std::lock_guard G(GLock);
  if (GHandle)
    return -1;
  GHandle = OpenFirstLibrary(GLocationsSet ? GLocations : DefaultHawkVoiceLocations());
  if (!GHandle)
    return -2;
  auto& E = HawkVoice;
  bool Ok = Bind(E.hvdiNewEncState, "hvdiNewEncState") &&
            Bind(E.hvdiNewDecState, "hvdiNewDecState") &&
            Bind(E.hvdiDeleteEncState, "hvdiDeleteEncState") &&
            Bind(E.hvdiDeleteDecState, "hvdiDeleteDecState") &&
            Bind(E.hvdiEncStateSetCodec, "hvdiEncStateSetCodec") &&
            Bind(E.hvdiDecStateGetCodec, "hvdiDecStateGetCodec") &&
            Bind(E.hvdiNewEncryptionKey, "hvdiNewEncryptionKey") &&
            Bind(E.hvdiDeleteEncryptionKey, "hvdiDeleteEncryptionKey") &&
            Bind(E.hvdiPacketIsVoice, "hvdiPacketIsVoice") &&
            Bind(E.hvdiPacketDecode, "hvdiPacketDecode") &&
            Bind(E.hvdiPacketEncode, "hvdiPacketEncode") && Bind(E.hvdiNewVOX, "hvdiNewVOX") &&
            Bind(E.hvdiVOX, "hvdiVOX") && Bind(E.hvdiDeleteVOX, "hvdiDeleteVOX") &&
            Bind(E.hvdiNewRate, "hvdiNewRate") && Bind(E.hvdiRateFlow, "hvdiRateFlow") &&
            Bind(E.hvdiDeleteRate, "hvdiDeleteRate") && Bind(E.hvdiNewAGC, "hvdiNewAGC") &&
            Bind(E.hvdiAGC, "hvdiAGC") && Bind(E.hvdiDeleteAGC, "hvdiDeleteAGC") &&
            Bind(E.hvdiMix, "hvdiMix") && Bind(E.hvdiHint, "hvdiHint");
  return Ok ? 0 : -3;
}

int32_t UnloadHawkVoice() {
  std::lock_guard G(GLock);
  if (!GHandle)
    return -1;
  void* H = GHandle;
  GHandle = nullptr;
  HawkVoice = THawkVoiceEntryPoints{};
  return CloseLibrary(H) ? 0 : -2;
}

std::string HawkVoiceErrorText(int32_t Code) {
  switch (Code) {
  case -1:
    return "Hawkvoice library already initialized";
  case -2:
    return Format("Error loading Hawlvoice library (%s) Maybe not installed?",
                  HawkVoiceLibraryName);
  case -3:
    return "Error during binding functions in Hawkvoice Library";
  default:
    return "Unknown HawkVoice Error";
  }
}

} // namespace orlavonix
