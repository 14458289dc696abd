#pragma once

#include <cstdint>
#include <string>

namespace orlavonix {

// The message text of a result code; empty for codes that have none.
std::string ErrorCodeText(int32_t Code);

// "Clan Server"/"Public Server"/"unknown", a space, "Freeware"/"Commercial"/"unknown".
std::string ServerTypeText(uint16_t ServerType);

} // namespace orlavonix
