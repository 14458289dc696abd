// Arbitrary bytes as one binding record, and as a settings section.
#include <cstdint>
#include <vector>

#include "keys/ClientKeyPressBase.h"

using namespace orlavonix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TByteReader R(Data, Size);
  TKeyCombo C;
  try {
    C.LoadFromStream(R);
    if (!IsValidKeyAction(C.Action))
      __builtin_trap(); // a record that loads has a valid action
    TByteWriter W;
    C.SaveToStream(W);
    // What loaded is written back byte for byte.
    if (W.Size() != R.Position() || !std::equal(W.Data().begin(), W.Data().end(), Data))
      __builtin_trap();
    std::string K, A;
    C.Describe(K, A);
  } catch (const EKeyCombo&) {
  } catch (const EReadError&) {
  }

  std::vector<uint8_t> Section(Data, Data + Size);
  TClientKeyPressBase Press(nullptr, nullptr);
  try {
    Press.LoadFromSection(&Section);
  } catch (const EKeyCombo&) {
  } catch (const EReadError&) {
  }
  std::vector<std::string> Keys, Actions;
  Press.ListCombos(Keys, Actions);
  for (uint8_t Code = 0; Code < 8; ++Code) {
    Press.KeyEvent(0, Code, true);
    Press.KeyEvent(1, Code, true);
  }
  return 0;
}
