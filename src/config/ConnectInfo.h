#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/Bytes.h"

namespace orlavonix {

#pragma pack(push, 1)
// One connection request or server bookmark. Stored byte for byte in the
// settings file, so the layout is a file format: string[n] fields (length
// byte + n characters), then three Boolean bytes.
struct TConnectInfo {
  uint8_t Label[256];
  uint8_t ServerAddress[256];
  uint8_t Nickname[30];
  uint8_t LoginName[30];
  uint8_t Password[30];
  uint8_t Channel[30];
  uint8_t SubChannel[30];
  uint8_t ChannelPassword[30];
  uint8_t Anonymous;
  uint8_t AllowServerNickname;
  uint8_t AutoReconnect;

  void Clear() { std::memset(this, 0, sizeof *this); }

  std::string GetLabel() const { return GetShortString(Label, 255); }
  std::string GetServerAddress() const { return GetShortString(ServerAddress, 255); }
  std::string GetNickname() const { return GetShortString(Nickname, 29); }
  std::string GetLoginName() const { return GetShortString(LoginName, 29); }
  std::string GetPassword() const { return GetShortString(Password, 29); }
  std::string GetChannel() const { return GetShortString(Channel, 29); }
  std::string GetSubChannel() const { return GetShortString(SubChannel, 29); }
  std::string GetChannelPassword() const { return GetShortString(ChannelPassword, 29); }

  // Texts longer than a field are cut to the field's length.
  void SetLabel(std::string_view S) { SetShortString(Label, 255, S); }
  void SetServerAddress(std::string_view S) { SetShortString(ServerAddress, 255, S); }
  void SetNickname(std::string_view S) { SetShortString(Nickname, 29, S); }
  void SetLoginName(std::string_view S) { SetShortString(LoginName, 29, S); }
  void SetPassword(std::string_view S) { SetShortString(Password, 29, S); }
  void SetChannel(std::string_view S) { SetShortString(Channel, 29, S); }
  void SetSubChannel(std::string_view S) { SetShortString(SubChannel, 29, S); }
  void SetChannelPassword(std::string_view S) { SetShortString(ChannelPassword, 29, S); }
};
#pragma pack(pop)

static_assert(sizeof(TConnectInfo) == 695, "TConnectInfo is a stored record of 695 bytes");
static_assert(offsetof(TConnectInfo, ServerAddress) == 256);
static_assert(offsetof(TConnectInfo, Nickname) == 512);
static_assert(offsetof(TConnectInfo, LoginName) == 542);
static_assert(offsetof(TConnectInfo, Password) == 572);
static_assert(offsetof(TConnectInfo, Channel) == 602);
static_assert(offsetof(TConnectInfo, SubChannel) == 632);
static_assert(offsetof(TConnectInfo, ChannelPassword) == 662);
static_assert(offsetof(TConnectInfo, Anonymous) == 692);
static_assert(offsetof(TConnectInfo, AutoReconnect) == 694);

} // namespace orlavonix
