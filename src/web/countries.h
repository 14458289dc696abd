#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace orlavonix {

// One row of the country table: a four-digit code (continent, region, two
// digits of country) and its display name in Latin-1.
struct TCountryRow {
  uint16_t Code;
  const char* Name;
};

// All rows in ascending order of code.
std::span<const TCountryRow> CountryTable();

// The name of the row with this code, or "Unknown".
std::string CountryName(uint16_t Code);

} // namespace orlavonix
