#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/MemoryStream.h"

namespace orlavonix {

constexpr uint32_t ConfigFileMagic = 0x1337F113u;
constexpr uint32_t ConfigScrambleMask = 0x5E93C1F7u;
// Longest section name the file can hold; longer names are cut on save.
constexpr size_t ConfigSectionNameMax = 29;

// XORs whole little-endian words with the mask and the 0..3 trailing bytes
// with its low byte. Its own inverse.
void ScrambleConfigBuffer(std::span<uint8_t> Buffer);

// The settings file: named sections of opaque bytes, looked up without regard
// to letter case, kept in the order they were first created.
class TConfigFile {
public:
  // Loads FileName when it exists. Never fails: whatever cannot be read is
  // left out, the sections before the damage stay.
  explicit TConfigFile(std::string FileName);
  ~TConfigFile() = default;
  TConfigFile(const TConfigFile&) = delete;
  TConfigFile& operator=(const TConfigFile&) = delete;

  // The section's stream (owned by the store), or null when it is missing and
  // Create is false. With Create true a missing section is appended empty.
  TMemoryStream* GetSection(std::string_view Name, bool Create);

  // Writes the whole store. The new content goes to a temporary file next to
  // the old one and replaces it only once completely written, so a failing
  // write leaves the previous file as it was. Errors are not raised; the
  // result says whether the file was replaced.
  bool Save();

  // Loads from an in-memory file image; what Create does with the file.
  void LoadFromImage(std::vector<uint8_t> Image);
  // The scrambled file image that Save writes.
  std::vector<uint8_t> SaveToImage() const;

  const std::string& FileName() const { return FFileName; }
  const std::vector<std::string>& Names() const { return FNames; }
  size_t Count() const { return FNames.size(); }

private:
  std::string FFileName;
  std::vector<std::string> FNames;
  std::vector<std::unique_ptr<TMemoryStream>> FStreams;
};

// ASCII letters compared without case, as section names are.
bool SameTextAscii(std::string_view A, std::string_view B);

} // namespace orlavonix
