#include "web/ImageCache.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

namespace orlavonix {

namespace fs = std::filesystem;

std::vector<std::string> ParseCacheIndex(std::span<const uint8_t> Bytes) {
  std::vector<std::string> Lines;
  std::string Cur;
  bool Pending = false; // a line has started (or a break has just ended one)
  for (size_t I = 0; I < Bytes.size(); ++I) {
    char C = static_cast<char>(Bytes[I]);
    if (C == '\r' || C == '\n') {
      Lines.push_back(std::move(Cur));
      Cur.clear();
      Pending = false;
      if (C == '\r' && I + 1 < Bytes.size() && Bytes[I + 1] == '\n')
        ++I;
    } else {
      Cur.push_back(C);
      Pending = true;
    }
  }
  if (Pending)
    Lines.push_back(std::move(Cur));
  return Lines;
}

std::string_view CacheIndexName(std::string_view Line) {
  size_t Eq = Line.find('=');
  return Eq == std::string_view::npos ? Line : Line.substr(0, Eq);
}

std::string_view CacheIndexValue(std::string_view Line) {
  size_t Eq = Line.find('=');
  return Eq == std::string_view::npos ? std::string_view() : Line.substr(Eq + 1);
}

namespace {
bool IsGuidFileName(std::string_view N) {
  if (N.size() != 40)
    return false;
  std::string_view Ext = N.substr(36);
  if (Ext != ".jpg" && Ext != ".png")
    return false;
  for (size_t I = 0; I < 36; ++I) {
    bool Dash = I == 8 || I == 13 || I == 18 || I == 23;
    if (Dash ? N[I] != '-' : !std::isxdigit(static_cast<unsigned char>(N[I])))
      return false;
  }
  return true;
}

bool EqualNoCase(std::string_view A, std::string_view B) {
  if (A.size() != B.size())
    return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (std::toupper(static_cast<unsigned char>(A[I])) !=
        std::toupper(static_cast<unsigned char>(B[I])))
      return false;
  return true;
}
} // namespace

bool IsCacheFileOf(std::string_view Value, const fs::path& Folder) {
  if (Value.empty() || Value.find('\0') != std::string_view::npos)
    return false;
  fs::path P{std::string(Value)};
  return P.has_filename() && P.parent_path() == Folder && IsGuidFileName(P.filename().native());
}

bool IsCacheableURL(std::string_view URL) {
  if (URL.empty())
    return false;
  for (unsigned char C : URL)
    if (C < 0x20 || C == 0x7F)
      return false;
  return true;
}

std::string NewGuidText() {
  static thread_local std::mt19937_64 Gen{std::random_device{}()};
  uint64_t Hi = Gen(), Lo = Gen();
  Hi = (Hi & ~0xF000ull) | 0x4000ull;             // version 4
  Lo = (Lo & ~(0xC0ull << 56)) | (0x80ull << 56); // variant 1
  char B[37];
  std::snprintf(B, sizeof B, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(Hi >> 32),
                static_cast<unsigned>((Hi >> 16) & 0xFFFF), static_cast<unsigned>(Hi & 0xFFFF),
                static_cast<unsigned>(Lo >> 48),
                static_cast<unsigned long long>(Lo & 0xFFFFFFFFFFFFull));
  return B;
}

TImageCache::TImageCache(fs::path FileName, TNow Now)
    : FFileName(std::move(FileName)), FNow(std::move(Now)) {
  if (!FNow)
    FNow = [] { return fs::file_time_type::clock::now(); };
  Clean();
}

std::vector<std::string> TImageCache::ReadIndex() const {
  std::ifstream In(FFileName, std::ios::binary);
  if (!In)
    return {};
  std::vector<uint8_t> Bytes((std::istreambuf_iterator<char>(In)), {});
  return ParseCacheIndex(Bytes);
}

bool TImageCache::WriteIndex(const std::vector<std::string>& Lines) const {
  // Written beside the index and renamed over it, so a failed write never
  // leaves half an index.
  fs::path Tmp = FFileName;
  Tmp += ".tmp";
  {
    std::ofstream Out(Tmp, std::ios::binary | std::ios::trunc);
    if (!Out)
      return false;
    for (const auto& L : Lines)
      Out << L << '\n';
    if (!Out.flush())
      return false;
  }
  std::error_code Ec;
  fs::rename(Tmp, FFileName, Ec);
  if (Ec) {
    fs::remove(Tmp, Ec);
    return false;
  }
  return true;
}

void TImageCache::Clean() {
  try {
    auto Lines = ReadIndex();
    const auto Now = FNow();
    const auto Day = std::chrono::hours(24);
    const fs::path Dir = Folder();
    for (size_t I = Lines.size(); I-- > 0;) {
      std::string_view Value = CacheIndexValue(Lines[I]);
      if (!IsCacheFileOf(Value, Dir)) {
        // Not a line this cache wrote: drop it, touch no file.
        Lines.erase(Lines.begin() + static_cast<std::ptrdiff_t>(I));
        continue;
      }
      fs::path File{std::string(Value)};
      std::error_code Ec;
      if (!fs::is_regular_file(fs::symlink_status(File, Ec)))
        continue;
      auto Time = fs::last_write_time(File, Ec);
      if (Ec)
        continue;
      if (Time > Now || Time < Now - Day) {
        fs::remove(File, Ec);
        Lines.erase(Lines.begin() + static_cast<std::ptrdiff_t>(I));
      }
    }
    WriteIndex(Lines);
  } catch (const std::exception&) {
  }
}

std::string TImageCache::Lookup(std::string_view URL) {
  try {
    auto Lines = ReadIndex();
    for (size_t I = 0; I < Lines.size(); ++I) {
      if (!EqualNoCase(CacheIndexName(Lines[I]), URL))
        continue;
      std::string_view Value = CacheIndexValue(Lines[I]);
      if (Value.empty())
        return {};
      std::error_code Ec;
      if (IsCacheFileOf(Value, Folder()) &&
          fs::is_regular_file(fs::symlink_status(fs::path(std::string(Value)), Ec)))
        return std::string(Value);
      Lines.erase(Lines.begin() + static_cast<std::ptrdiff_t>(I));
      WriteIndex(Lines);
      return {};
    }
  } catch (const std::exception&) {
  }
  return {};
}

bool TImageCache::Store(std::span<const uint8_t> Stream, std::string_view URL,
                        std::string_view Ext) {
  if (!IsCacheableURL(URL) || (Ext != ".jpg" && Ext != ".png"))
    return false;
  try {
    auto Lines = ReadIndex();
    fs::path File;
    std::error_code Ec;
    do {
      File = Folder() / (NewGuidText() + std::string(Ext));
    } while (fs::exists(fs::symlink_status(File, Ec)));
    {
      std::ofstream Out(File, std::ios::binary | std::ios::trunc);
      if (!Out)
        return false;
      Out.write(reinterpret_cast<const char*>(Stream.data()),
                static_cast<std::streamsize>(Stream.size()));
      if (!Out.flush()) {
        Out.close();
        fs::remove(File, Ec);
        return false;
      }
    }
    Lines.push_back(std::string(URL) + "=" + File.string());
    if (!WriteIndex(Lines)) {
      fs::remove(File, Ec);
      return false;
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

} // namespace orlavonix
