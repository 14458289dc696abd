// Arbitrary file images through the loader, every section reader and a save:
// what loads must save and load again unchanged.
#include <cstdint>
#include <vector>

#include "config/ConfigFile.h"
#include "config/ConfigSections.h"

using namespace orlavonix;

namespace {
template <typename Fn> void Tolerate(Fn&& F) {
  try {
    F();
  } catch (const EConfigReadError&) {
  }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > 1 << 20)
    return 0;
  TConfigFile C("/nonexistent/Orlavonix.Conf");
  C.LoadFromImage(std::vector<uint8_t>(Data, Data + Size));

  Tolerate([&] { ReadMainFormSettings(C); });
  Tolerate([&] { ReadSoundDeviceSettings(C); });
  Tolerate([&] { ReadEventSoundSettings(C); });
  Tolerate([&] { ReadBandwidthSettings(C); });
  Tolerate([&] { ReadQuickConnect(C); });
  Tolerate([&] { ReadVolumeSettings(C); });
  Tolerate([&] { ReadRecordingDir(C); });
  Tolerate([&] { ReadUpdateCheckText(C); });

  TConfigFile Again("/nonexistent/Orlavonix.Conf");
  Again.LoadFromImage(C.SaveToImage());
  if (Again.Names() != C.Names())
    __builtin_trap();
  for (const auto& N : C.Names())
    if (Again.GetSection(N, false)->Bytes() != C.GetSection(N, false)->Bytes())
      __builtin_trap();
  return 0;
}
