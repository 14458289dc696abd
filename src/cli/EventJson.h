#pragma once

#include <cstddef>
#include <string>

namespace orlavonix {

// One client event record as one JSON line: its kind, its name and every
// field. A record shorter than its kind's layout gives {"kind":..,"error":..}.
std::string ClientEventToJson(const void* Data, size_t Size);

// The name of an event kind ("cb_NewPlayer"), or "unknown".
const char* ClientEventName(int32_t Kind);

} // namespace orlavonix
