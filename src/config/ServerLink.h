#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Exceptions.h"
#include "config/ConnectInfo.h"

namespace orlavonix {

// "%s has an invalid port (%s)" with the whole address and the port text.
ORLAVONIX_DECLARE_EXCEPTION(EConvertError, Exception);

constexpr int32_t DefaultServerPort = 8767;

// The per-user directory with a trailing "/": a hidden folder in the home
// directory of the real user (from the user database, not the environment),
// created when missing; "/tmp/" when that is not possible.
std::string UserDataDir();
// The same rule for a given home directory (none: no user database entry).
std::string UserDataDirIn(const std::optional<std::string>& Home);

// The part of "host[:port]" before the first colon.
std::string HostOfAddress(std::string_view Address);
// The port after the first colon, 8767 without one. A port that is not a
// decimal integer in 0..65535 raises EConvertError.
int32_t PortOfAddress(std::string_view Address);

// Command-line arguments without the program name. Options are the leading
// arguments that begin with "-".
// Whether "-<Letter>" or "--<Word>" (any letter case) is among the options.
bool HasOption(const std::vector<std::string>& Args, char Letter, std::string_view Word);
// The first argument that is not an option and every one after it, joined
// with single spaces; empty when there is none.
std::string GetServerParameter(const std::vector<std::string>& Args);

// Turns a server link into a connection request; never fails. An empty or
// missing nickname becomes DefaultNickname.
bool ParseServerLink(std::string_view Link, TConnectInfo& Info,
                     std::string_view DefaultNickname = {});

} // namespace orlavonix
