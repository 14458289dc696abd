// Arbitrary bytes as one binding record, and as a settings section.
#include <cstdint>
#include <cstring>
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
    // What loaded is written back and reads back the same; a record written
    // by us is written again byte for byte.
    TByteWriter W;
    C.SaveToStream(W);
    TByteReader R2(W.Data().data(), W.Size());
    TKeyCombo Back;
    Back.LoadFromStream(R2);
    TByteWriter W2;
    Back.SaveToStream(W2);
    if (!R2.AtEnd() || W2.Data() != W.Data() || Back.Params != C.Params || Back.Action != C.Action)
      __builtin_trap();
    if (std::memcmp(&Back.Key1, &C.Key1, 32 * 1) != 0 || std::memcmp(&Back.Key3, &C.Key3, 32) != 0)
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
