#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orlavonix {

// The index file's lines, split at CR, LF or CR LF. Never fails.
std::vector<std::string> ParseCacheIndex(std::span<const uint8_t> Bytes);

// name=value: the name ends at the first equals sign.
std::string_view CacheIndexName(std::string_view Line);
std::string_view CacheIndexValue(std::string_view Line);

// True when Value names a file directly inside Folder whose name is a GUID
// text (8-4-4-4-12 hexadecimal digits) with ".jpg" or ".png". Only such files
// are ever read or deleted through the index.
bool IsCacheFileOf(std::string_view Value, const std::filesystem::path& Folder);

// An address may become an index line only when it holds no control
// character (a line break would let it write a line of its own).
bool IsCacheableURL(std::string_view URL);

// A new random GUID text, upper case, without braces.
std::string NewGuidText();

// Pictures fetched from servers, kept on disk for a day: one index file of
// address=file lines and one GUID-named file per picture beside it. Nothing
// is held in memory; every call reads the index anew. Errors are swallowed.
// Used on the user-interface thread only.
class TImageCache {
public:
  using TNow = std::function<std::filesystem::file_time_type()>;

  // Runs Clean. Now defaults to the file clock.
  explicit TImageCache(std::filesystem::path FileName, TNow Now = {});

  const std::filesystem::path& FileName() const { return FFileName; }

  // The cached file for URL, or an empty text.
  std::string Lookup(std::string_view URL);
  // Writes the picture to a new file and records it. False when nothing was
  // stored (an address with a control character, a bad extension, a write
  // error).
  bool Store(std::span<const uint8_t> Stream, std::string_view URL, std::string_view Ext);
  // Deletes pictures older than a day or dated in the future, with their lines.
  void Clean();

private:
  std::vector<std::string> ReadIndex() const;
  bool WriteIndex(const std::vector<std::string>& Lines) const;
  std::filesystem::path Folder() const { return FFileName.parent_path(); }

  std::filesystem::path FFileName;
  TNow FNow;
};

} // namespace orlavonix
