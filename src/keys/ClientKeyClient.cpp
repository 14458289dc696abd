#include "keys/ClientKeyClient.h"

#include <cstring>
#include <utility>

#include "base/Bytes.h"
#include "protocol/ClientProtocol.h"
#include "protocol/ClientRegistry.h"

namespace orlavonix {

// Logged in, not only connecting: bindings other than the few that work
// offline act only then.
bool TClientKeyClient::IsConnected() const {
  return FClient.State() == csConnected;
}

uint32_t TClientKeyClient::OwnPlayerId() const {
  return FClient.PlayerId();
}

int32_t TClientKeyClient::OwnChannelId() const {
  return FClient.ChannelId();
}

int32_t TClientKeyClient::OwnChannelParentId() const {
  return FClient.ChannelParentId();
}

int32_t TClientKeyClient::LastWhisperer() const {
  return FClient.LastWhisperer();
}

std::vector<TKeyChannel> TClientKeyClient::ListChannels() const {
  std::vector<TKeyChannel> Out;
  FClient.Channels().ForEach([&](const TChannelRecord& C) {
    Out.push_back({C.Info.Id, C.Info.ParentId,
                   std::string(C.Info.Name, strnlen(C.Info.Name, sizeof C.Info.Name))});
  });
  return Out;
}

std::vector<TKeyPlayer> TClientKeyClient::ListPlayers() const {
  std::vector<TKeyPlayer> Out;
  for (const auto& P : FClient.ListPlayers())
    Out.push_back({P.Id, P.ChannelId, P.Flags, GetShortString(P.Nick, 29)});
  return Out;
}

void TClientKeyClient::snd_SetPushToTalkPressed(bool Pressed) {
  FClient.snd_SetPushToTalkPressed(Pressed);
}

void TClientKeyClient::snd_SetWhisper(std::vector<uint8_t> Targets, bool Whispering) {
  FClient.snd_SetWhisper(std::move(Targets), Whispering);
}

void TClientKeyClient::PlayerSwitchChannel(uint32_t ChannelId, const std::string& Password) {
  FClient.PlayerSwitchChannel(ChannelId, Password);
}

} // namespace orlavonix
