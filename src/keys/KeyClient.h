#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orlavonix {

// What the key bindings read from the registry: one channel.
struct TKeyChannel {
  uint32_t Id = 0;
  int32_t ParentId = -1; // -1: a top-level channel
  std::string Name;
};

// What the key bindings read from the registry: one player.
struct TKeyPlayer {
  uint32_t Id = 0;
  uint32_t ChannelId = 0;
  uint16_t Flags = 0; // player flag set
  std::string Nick;
};

// The part of the connection object that key bindings use. The registry
// lists come back in registry order. Kept small so that the bindings can be
// exercised without a server, and adapted to the connection object in one place.
class TKeyClient {
public:
  virtual ~TKeyClient() = default;

  // Connected and logged in.
  virtual bool IsConnected() const = 0;
  virtual uint32_t OwnPlayerId() const = 0;
  virtual int32_t OwnChannelId() const = 0;
  virtual int32_t OwnChannelParentId() const = 0;
  // -1 until some player whispered to us.
  virtual int32_t LastWhisperer() const = 0;
  virtual std::vector<TKeyChannel> ListChannels() const = 0;
  virtual std::vector<TKeyPlayer> ListPlayers() const = 0;

  virtual void snd_SetPushToTalkPressed(bool Pressed) = 0;
  // Targets: a count byte and that many 5-byte targets; empty means no block.
  virtual void snd_SetWhisper(std::vector<uint8_t> Targets, bool Whispering) = 0;
  virtual void PlayerSwitchChannel(uint32_t ChannelId, const std::string& Password) = 0;
};

} // namespace orlavonix
