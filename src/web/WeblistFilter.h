#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "config/ConfigSections.h"

namespace orlavonix {

class TConfigFile;

#pragma pack(push, 1)
// What the list service is asked for; its fields go onto the wire one by one.
struct TWeblistFilter {
  uint16_t Country = 0;  // 0: all; else a code of the country table
  uint8_t Password = 0;  // 0 all, 1 with password only, 2 without password only
  uint8_t UsersMode = 0; // 0 all, 1 empty, 2 at least UsersValue, 3 at most UsersValue, 4 full
  uint16_t UsersValue = 0;
  uint8_t ServerType = 0; // 0 all, 1 clan, 2 public
  uint8_t NameMode = 0;   // 0 all, 1 containing Name, 2 starting with Name
  char Name[16] = {};     // zero-terminated, at most 15 characters
};
#pragma pack(pop)
static_assert(sizeof(TWeblistFilter) == 24);
static_assert(offsetof(TWeblistFilter, UsersValue) == 4);
static_assert(offsetof(TWeblistFilter, Name) == 8);

// The name of a filter: up to its first zero, never more than 15 characters.
std::string WeblistFilterName(const TWeblistFilter& Filter);
void SetWeblistFilterName(TWeblistFilter& Filter, std::string_view Name);

// The request for one download: N, the value 1, the country flag, the ten
// filter bytes and the name with its zero (12 to 27 bytes).
std::vector<uint8_t> BuildWeblistRequest(const TWeblistFilter& Filter);
// The request's three writes: the byte N, the next ten bytes, the name.
std::array<std::span<const uint8_t>, 3> WeblistRequestParts(std::span<const uint8_t> Request);

// The filter dialog's settings, as its controls hold them.
struct TWeblistFilterSettings {
  int32_t TypeIndex = 0;       // rgType: 0 all, 1 clan, 2 public
  int32_t PasswordIndex = 0;   // rgPassword: 0 all, 1 with, 2 without
  int32_t NameMode = 0;        // 0 nfAll, 1 nfContaining, 2 nfStart
  std::string Contains;        // edsnContains, at most 15 characters
  std::string Starts;          // edsnStarts, at most 15 characters
  int32_t UsersMode = 0;       // 0 ufShowAll, 1 ufEmpty, 2 ufContaining, 3 ufMax, 4 ufFull
  int32_t ContainingValue = 1; // seContaining, 1 to 9999
  int32_t MaxValue = 1;        // seMax, 1 to 9999
  int32_t Country = 0;         // the country label's tag; 0 all

  bool operator==(const TWeblistFilterSettings&) const = default;
};

inline constexpr const char* WeblistFilterSectionName = SectionWeblistFilter;
inline constexpr size_t WeblistFilterSectionSize = 60;

// The 60-byte section: indexes, name mode, two string[15] texts, users mode,
// the two counts and the country, integers little-endian.
std::array<uint8_t, WeblistFilterSectionSize>
WriteWeblistFilterSection(const TWeblistFilterSettings& Settings);
// Reads the section as the dialog applies it: a name mode other than 0 or 1
// becomes 2, a users mode other than 0 to 3 becomes 4, counts are held to the
// spin range, an out-of-range group index or country becomes 0. A section
// shorter than 60 bytes raises EReadError.
TWeblistFilterSettings ReadWeblistFilterSection(std::span<const uint8_t> Bytes);

// The stored filter, looked up without creating the section. No section:
// Settings become the defaults and the result is false. A short section
// raises EReadError.
bool LoadWeblistFilter(TConfigFile& Config, TWeblistFilterSettings& Settings);
// Writes the 60 bytes from the start of the section, creating it if absent.
void SaveWeblistFilter(TConfigFile& Config, const TWeblistFilterSettings& Settings);

// The filter for a download, from the dialog's settings.
TWeblistFilter BuildWeblistFilter(const TWeblistFilterSettings& Settings);

} // namespace orlavonix
