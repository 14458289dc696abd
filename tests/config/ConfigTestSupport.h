#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "config/ConfigFile.h"

namespace orlavonix::test {

// One section as it lies in the file, before scrambling.
struct TRawSection {
  std::string Name;
  std::vector<uint8_t> Data;
  int32_t SizeField = -1; // -1: the data's real size
};

inline std::vector<uint8_t> PlainImage(const std::vector<TRawSection>& Sections,
                                       uint32_t Magic = ConfigFileMagic) {
  TByteWriter W;
  W.U32(Magic);
  for (const auto& S : Sections) {
    W.ShortString(S.Name, 29);
    W.I32(S.SizeField == -1 ? static_cast<int32_t>(S.Data.size()) : S.SizeField);
    W.Bytes(S.Data.data(), S.Data.size());
  }
  return W.Data();
}

inline std::vector<uint8_t> Scrambled(std::vector<uint8_t> Plain) {
  ScrambleConfigBuffer(Plain);
  return Plain;
}

inline std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& P) {
  std::ifstream In(P, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(In), {});
}

inline void WriteFileBytes(const std::filesystem::path& P, const std::vector<uint8_t>& B) {
  std::ofstream Out(P, std::ios::binary | std::ios::trunc);
  Out.write(reinterpret_cast<const char*>(B.data()), static_cast<std::streamsize>(B.size()));
}

// A fresh directory under the system's temporary folder, removed at the end.
class TTempDir {
public:
  TTempDir() {
    std::string T = (std::filesystem::temp_directory_path() / "orlavonix-test-XXXXXX").string();
    if (!::mkdtemp(T.data()))
      std::abort();
    FPath = T;
  }
  ~TTempDir() {
    std::error_code E;
    std::filesystem::permissions(FPath, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, E);
    std::filesystem::remove_all(FPath, E);
  }
  const std::filesystem::path& Path() const { return FPath; }
  std::filesystem::path operator/(const std::string& Name) const { return FPath / Name; }

private:
  std::filesystem::path FPath;
};

} // namespace orlavonix::test
