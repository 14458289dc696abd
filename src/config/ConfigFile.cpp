#include "config/ConfigFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Bytes.h"

namespace orlavonix {

namespace {

// A settings file is a few kilobytes; anything far larger is not ours and is
// not worth exhausting memory over.
constexpr off_t MaxConfigFileSize = 64 * 1024 * 1024;

char LowerAscii(char C) {
  return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}

bool ReadWholeFile(const std::string& Path, std::vector<uint8_t>& Out) {
  int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0)
    return false;
  struct stat St {};
  bool Ok = ::fstat(Fd, &St) == 0 && S_ISREG(St.st_mode) && St.st_size <= MaxConfigFileSize;
  if (Ok) {
    Out.clear();
    uint8_t Buf[8192];
    for (;;) {
      ssize_t N = ::read(Fd, Buf, sizeof Buf);
      if (N < 0 && errno == EINTR)
        continue;
      if (N < 0) {
        Ok = false;
        break;
      }
      if (N == 0)
        break;
      Out.insert(Out.end(), Buf, Buf + N);
      if (Out.size() > static_cast<size_t>(MaxConfigFileSize)) {
        Ok = false;
        break;
      }
    }
  }
  ::close(Fd);
  return Ok;
}

bool WriteAll(int Fd, const uint8_t* P, size_t N) {
  while (N > 0) {
    ssize_t W = ::write(Fd, P, N);
    if (W < 0 && errno == EINTR)
      continue;
    if (W <= 0)
      return false;
    P += W;
    N -= static_cast<size_t>(W);
  }
  return true;
}

std::string DirectoryOf(const std::string& Path) {
  auto Slash = Path.rfind('/');
  if (Slash == std::string::npos)
    return ".";
  if (Slash == 0)
    return "/";
  return Path.substr(0, Slash);
}

} // namespace

bool SameTextAscii(std::string_view A, std::string_view B) {
  if (A.size() != B.size())
    return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (LowerAscii(A[I]) != LowerAscii(B[I]))
      return false;
  return true;
}

void ScrambleConfigBuffer(std::span<uint8_t> Buffer) {
  size_t I = 0;
  for (; I + 4 <= Buffer.size(); I += 4)
    PutLE<uint32_t>(Buffer.data() + I, GetLE<uint32_t>(Buffer.data() + I) ^ ConfigScrambleMask);
  for (; I < Buffer.size(); ++I)
    Buffer[I] ^= static_cast<uint8_t>(ConfigScrambleMask & 0xFF);
}

TConfigFile::TConfigFile(std::string FileName) : FFileName(std::move(FileName)) {
  std::vector<uint8_t> Image;
  if (ReadWholeFile(FFileName, Image))
    LoadFromImage(std::move(Image));
}

void TConfigFile::LoadFromImage(std::vector<uint8_t> Image) {
  FNames.clear();
  FStreams.clear();
  ScrambleConfigBuffer(Image);
  TByteReader R(Image.data(), Image.size());
  try {
    if (R.U32() != ConfigFileMagic)
      return;
    while (!R.AtEnd()) {
      std::string Name = R.ShortString(ConfigSectionNameMax);
      int32_t Size = R.I32();
      if (Size < 0)
        return; // damaged: nothing after this point can be located
      auto Bytes = R.Take(static_cast<size_t>(Size));
      FNames.push_back(std::move(Name));
      FStreams.push_back(
          std::make_unique<TMemoryStream>(std::vector<uint8_t>(Bytes.begin(), Bytes.end())));
    }
  } catch (const EReadError&) {
    // A truncated file: the sections read so far stay.
  }
}

TMemoryStream* TConfigFile::GetSection(std::string_view Name, bool Create) {
  for (size_t I = 0; I < FNames.size(); ++I)
    if (SameTextAscii(FNames[I], Name))
      return FStreams[I].get();
  if (!Create)
    return nullptr;
  FNames.emplace_back(Name);
  FStreams.push_back(std::make_unique<TMemoryStream>());
  return FStreams.back().get();
}

std::vector<uint8_t> TConfigFile::SaveToImage() const {
  TByteWriter W;
  W.U32(ConfigFileMagic);
  for (size_t I = 0; I < FNames.size(); ++I) {
    W.ShortString(FNames[I], ConfigSectionNameMax);
    const auto& Bytes = FStreams[I]->Bytes();
    W.I32(static_cast<int32_t>(Bytes.size()));
    W.Bytes(Bytes.data(), Bytes.size());
  }
  std::vector<uint8_t> Image = std::move(W.Data());
  ScrambleConfigBuffer(Image);
  return Image;
}

bool TConfigFile::Save() {
  std::vector<uint8_t> Image;
  try {
    for (const auto& S : FStreams)
      if (S->Size() > static_cast<size_t>(INT32_MAX))
        return false;
    Image = SaveToImage();
  } catch (const std::exception&) {
    return false;
  }

  std::string Temp = FFileName + ".XXXXXX";
  int Fd = ::mkostemp(Temp.data(), O_CLOEXEC);
  if (Fd < 0)
    return false;
  // Keep the permissions of the file being replaced; a new file holds
  // passwords, so only its owner may read it.
  struct stat Old {};
  mode_t Mode = (::stat(FFileName.c_str(), &Old) == 0) ? (Old.st_mode & 07777) : 0600;
  bool Ok = ::fchmod(Fd, Mode) == 0 && WriteAll(Fd, Image.data(), Image.size()) && ::fsync(Fd) == 0;
  if (::close(Fd) != 0)
    Ok = false;
  if (Ok && ::rename(Temp.c_str(), FFileName.c_str()) == 0) {
    int DirFd = ::open(DirectoryOf(FFileName).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DirFd >= 0) {
      ::fsync(DirFd);
      ::close(DirFd);
    }
    return true;
  }
  ::unlink(Temp.c_str());
  return false;
}

} // namespace orlavonix
