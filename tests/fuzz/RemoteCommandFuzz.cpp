// Arbitrary request texts through the remote-command dispatcher, against a
// small program whose state the first byte chooses.
#include <cstdint>
#include <string>

#include "../integration/FakeRemoteProgram.h"

using namespace orlavonix;
using namespace orlavonix::test;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1 || Size > 70000)
    return 0;
  TFakeRemoteProgram F;
  uint8_t State = Data[0];
  F.IsConnected = State & 1;
  F.CanDisconnect = State & 2;
  F.ChannelList = {{1, -1, 5, 0x1F, "Lobby"}, {2, 1, 3, 0x02, "Sub"}, {3, 99, 0, 0, "Lost"}};
  F.PlayerList = {{10, (State & 4) ? 2u : 1u, static_cast<uint16_t>(State >> 3 & 3),
                   static_cast<uint16_t>(State >> 5 & 7), 0x55, "Me"},
                  {11, 2, 0x1F, 0x07, 0x7F, "Ann"},
                  {12, 3, 0, 0, 0, "Bob"}};
  F.Me = 10;
  F.ChannelNames = {{"Lobby", 1}, {"Lobby/Sub", 2}};
  F.Speaking = {11};
  std::string Request(reinterpret_cast<const char*>(Data + 1), Size - 1);
  std::string Reply = ExecuteRemoteCommand(&F, Request);
  if (Reply.rfind("OK", 0) != 0 && Reply.rfind("ERROR -", 0) != 0)
    __builtin_trap();
  if (Reply.size() >= RemoteReplyLimit)
    __builtin_trap();
  return 0;
}
