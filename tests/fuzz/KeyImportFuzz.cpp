// Arbitrary bytes as a key binding exchange file, read from a real file.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "keys/ClientKeyPressBase.h"

using namespace orlavonix;

namespace {
class TCountingProgram : public TKeyProgram {
public:
  int Errors = 0;
  bool ToggleEnabled(TToggleAction) override { return false; }
  void RunToggle(TToggleAction) override {}
  int VolumeSliderPosition() override { return 10; }
  void SetVolumeSliderPosition(int) override {}
  void PostRecord(const void*, size_t) override {}
  void ShowError(const std::string&) override { ++Errors; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const std::string File = "/tmp/orlavonix-kbn-fuzz-" + std::to_string(getpid()) + ".kbn";
  std::FILE* F = std::fopen(File.c_str(), "wb");
  if (!F)
    return 0;
  if (Size > 0)
    std::fwrite(Data, 1, Size, F);
  std::fclose(F);

  TCountingProgram Program;
  TClientKeyPressBase Press(nullptr, &Program);
  Press.ImportKeys(File);
  if (Program.Errors > 1)
    __builtin_trap(); // one import, at most one error box
  // What was imported exports and imports again to the same list.
  Press.ExportKeys(File);
  std::vector<std::string> K1, A1, K2, A2;
  Press.ListCombos(K1, A1);
  TClientKeyPressBase Again(nullptr, &Program);
  Program.Errors = 0;
  Again.ImportKeys(File);
  Again.ListCombos(K2, A2);
  if (Program.Errors != 0 || K1 != K2 || A1 != A2)
    __builtin_trap();
  std::remove(File.c_str());
  return 0;
}
