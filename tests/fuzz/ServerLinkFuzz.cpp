// Server links and addresses with any bytes.
#include <cstdint>
#include <string>

#include "config/ServerLink.h"

using namespace orlavonix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > 8192)
    return 0;
  std::string Link(reinterpret_cast<const char*>(Data), Size);
  TConnectInfo I;
  ParseServerLink(Link, I, "default");
  if (I.Anonymous != (I.GetLoginName().empty() ? 1 : 0) || I.AllowServerNickname != 1 ||
      I.AutoReconnect != 1 || I.Label[0] != 0 || I.Nickname[0] == 0 || I.Nickname[0] > 29)
    __builtin_trap();
  std::string Address = I.GetServerAddress();
  if (HostOfAddress(Link).find(':') != std::string::npos)
    __builtin_trap();
  for (const std::string& A : {Address, Link}) {
    try {
      int32_t Port = PortOfAddress(A);
      if (Port < 0 || Port > 65535)
        __builtin_trap();
    } catch (const EConvertError&) {
    }
  }
  return 0;
}
