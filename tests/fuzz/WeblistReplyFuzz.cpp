// Arbitrary bytes as a list service reply: the parser either reaches an end
// or raises EReadError; every item it builds holds terminated texts.
#include <cstdint>
#include <cstring>

#include "base/Bytes.h"
#include "web/WeblistRetrieve.h"

using namespace orlavonix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TByteReader R(Data, Size);
  TWeblistList List;
  int Asked = 0;
  bool StopEarly = Size > 0 && (Data[Size - 1] & 1);
  try {
    auto End = ReadWeblistReply([&](void* B, size_t N) { R.Bytes(B, N); }, List,
                                [&] { return StopEarly && ++Asked > 3; });
    if (End == TWeblistReplyEnd::EndMarker && Data[R.Position() - 1] != 0)
      __builtin_trap(); // the end marker is the last byte read
  } catch (const EReadError&) {
  }
  for (int I = 0; I < List.Count(); ++I) {
    const TWeblistItem* Item = List.GetItem(I);
    if (!Item)
      __builtin_trap();
    if (std::memchr(Item->Name, 0, sizeof Item->Name) == nullptr ||
        std::memchr(Item->Users, 0, sizeof Item->Users) == nullptr ||
        std::memchr(Item->Address, 0, sizeof Item->Address) == nullptr ||
        std::memchr(Item->Country, 0, sizeof Item->Country) == nullptr)
      __builtin_trap();
    if (std::strlen(Item->Name) > 30)
      __builtin_trap(); // a name has at most 30 characters
  }
  if (List.GetItem(List.Count()) != nullptr)
    __builtin_trap();
  return 0;
}
