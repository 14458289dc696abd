#pragma once

#include <cstdint>

namespace orlavonix {

using TPlayerId = uint32_t;
using TChannelId = uint32_t;
using TConnectionId = uint32_t;

// Parent id of a top-level channel.
constexpr TChannelId NoParentChannel = 0xFFFFFFFFu;

// Every flag set is a bit set over its enumeration: ordinal n is bit n.
template <typename E> constexpr uint16_t Bit(E Ordinal) {
  return static_cast<uint16_t>(1u << static_cast<unsigned>(Ordinal));
}

enum TChannelFlag : uint8_t {
  cfUnregistered = 0,
  cfModerated = 1,
  cfPassword = 2,
  cfHierarchical = 3,
  cfDefault = 4,
};

enum TPlayerFlag : uint8_t {
  pfChannelCommander = 0,
  pfWantVoice = 1,
  pfNoWhisper = 2,
  pfAway = 3,
  pfInputMuted = 4,
  pfOutputMuted = 5,
  pfRecording = 6,
};

enum TPlayerPrivilege : uint8_t {
  ppServerAdmin = 0,
  ppCanRegister = 1,
  ppRegistered = 2,
  ppSticky = 4,
};

enum TChannelPrivilege : uint8_t {
  pcpAdmin = 0,
  pcpOperator = 1,
  pcpVoiced = 2,
  pcpAutoOperator = 3,
  pcpAutoVoice = 4,
};

enum TServerType : uint8_t {
  stClan = 0,
  stPublic = 1,
  stFreeware = 2,
  stCommercial = 3,
};

enum TGrantRevoke : uint8_t {
  grGrant = 0,
  grRevoke = 2,
};

template <typename E> constexpr bool HasFlag(uint16_t Set, E Ordinal) {
  return (Set & Bit(Ordinal)) != 0;
}

} // namespace orlavonix
