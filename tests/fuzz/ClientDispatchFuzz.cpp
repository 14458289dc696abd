// Arbitrary server notifications through the command dispatcher of a logged-in
// client that carries its packets through the event callback. Input: records
// of a handler choice, a 16-bit length and the payload behind the header.
#include <cstdint>
#include <cstring>

#include "protocol/ClientProtocol.h"
#include "support/ClientHarness.h"

using namespace orlavonix;
using namespace orlavonix::testing;

namespace {
const int16_t Types[] = {6,   7,   8,   100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111,
                         112, 113, 114, 115, 116, 117, 130, 140, 204, 311, 321, 404, 406, 411, -111};
constexpr size_t TypeCount = sizeof Types / sizeof Types[0];
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  // libFuzzer counts coverage in every instrumented library it has seen; the
  // codec library is unloaded with the last client, which would pull those
  // counters away under it. One client that is never freed keeps it loaded.
  static auto* KeepCodecsLoaded = new TClientHarness;
  (void)KeepCodecsLoaded;
  TClientHarness H;
  if (H.Login() != 0)
    __builtin_trap();
  // A world to act on: channels with a family, the own player and two others.
  H.Client->HandleCommand(*Command(
      6, H.Me, H.Conn, 0,
      ChannelList({ChannelWire(1, "Lobby"), ChannelWire(2, "Games", -1, 8), ChannelWire(3, "Sub", 2)})));
  H.Client->HandleCommand(*Command(
      7, H.Me, H.Conn, 0,
      PlayerList({PlayerWire(H.Me, 1, "me"), PlayerWire(9, 1, "nine"), PlayerWire(10, 3, "ten")})));
  TByteReader R(Data, Size);
  while (R.Remaining() >= 3) {
    const uint8_t Choice = R.U8();
    size_t Len = std::min<size_t>(R.U16() % 5000, R.Remaining());
    auto Payload = R.Take(Len);
    TBytes Body(Payload.begin(), Payload.end());
    if (Choice == 0xFF) {
      // Voice from a player, known or not.
      auto P = ServerVoice(H.Me, H.Conn, 1, Body.empty() ? 9 : Body[0] % 12, 5,
                           Body.size() > 1 ? Body[1] : 0);
      H.Client->HandleVoicePacket(std::move(P));
      continue;
    }
    int16_t Type = Choice < TypeCount ? Types[Choice] : static_cast<int16_t>(Choice * 3 - 600);
    auto P = Command(Type, H.Me, H.Conn, 0, Body);
    H.Client->HandleCommand(*P);
    if (H.Client->State() == csIdle)
      break; // the connection ended (own player left the scope)
  }
  // Records the client raised must be whole.
  for (auto& Rec : H.Log.All())
    if (Rec.size() < 4)
      __builtin_trap();
  return 0;
}
