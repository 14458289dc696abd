// Arbitrary bytes as the lines of an HTTP reply head.
#include <cstdint>
#include <string_view>

#include "web/HttpHeaders.h"

using namespace orlavonix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::string_view All(reinterpret_cast<const char*>(Data), Size);
  THttpHeaderState S;
  size_t At = 0;
  while (At <= All.size()) {
    size_t Nl = All.find('\n', At);
    std::string_view Line = All.substr(At, Nl == std::string_view::npos ? All.npos : Nl - At + 1);
    S.AddLine(Line);
    if (Nl == std::string_view::npos)
      break;
    At = Nl + 1;
  }
  if (S.StatusCode() < 0 || S.StatusCode() > 999)
    __builtin_trap();
  if (auto L = S.ContentLength(); L && *L < 0)
    __builtin_trap();
  std::string Ext = ImageExtensionForType(S.ContentType());
  if (!Ext.empty() && Ext != ".jpg" && Ext != ".png")
    __builtin_trap();
  return 0;
}
