#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "keys/KeyClient.h"

namespace orlavonix {

class TClient;

// The key bindings' view of a real connection object: registry lists, the
// own ids, the last whisperer, and the push-to-talk, whisper and channel
// switch inputs. Holds no state of its own; the client is not owned and must
// outlive the adapter.
class TClientKeyClient : public TKeyClient {
public:
  explicit TClientKeyClient(TClient& Client) : FClient(Client) {}

  bool IsConnected() const override;
  uint32_t OwnPlayerId() const override;
  int32_t OwnChannelId() const override;
  int32_t OwnChannelParentId() const override;
  int32_t LastWhisperer() const override;
  std::vector<TKeyChannel> ListChannels() const override;
  std::vector<TKeyPlayer> ListPlayers() const override;

  void snd_SetPushToTalkPressed(bool Pressed) override;
  void snd_SetWhisper(std::vector<uint8_t> Targets, bool Whispering) override;
  void PlayerSwitchChannel(uint32_t ChannelId, const std::string& Password) override;

private:
  TClient& FClient;
};

} // namespace orlavonix
