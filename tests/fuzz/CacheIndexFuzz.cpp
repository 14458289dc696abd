// Arbitrary bytes as the picture cache index: splitting never fails, and a
// value is accepted as a cache file only directly inside the cache folder.
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "web/ImageCache.h"

using namespace orlavonix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::filesystem::path Folder = "/home/u/.orlavonix";
  auto Lines = ParseCacheIndex(std::span<const uint8_t>(Data, Size));
  for (const auto& L : Lines) {
    if (L.find('\n') != std::string::npos || L.find('\r') != std::string::npos)
      __builtin_trap();
    std::string_view Name = CacheIndexName(L);
    std::string_view Value = CacheIndexValue(L);
    if (Name.find('=') != std::string_view::npos)
      __builtin_trap();
    if (IsCacheFileOf(Value, Folder)) {
      std::filesystem::path P{std::string(Value)};
      if (P.parent_path() != Folder || P.filename().native().size() != 40)
        __builtin_trap();
    }
    (void)IsCacheableURL(Name);
  }
  return 0;
}
