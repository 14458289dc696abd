#include "notify/WaveFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Bytes.h"
#include "base/Exceptions.h"
#include "base/Format.h"

namespace orlavonix {

namespace {
bool IdIs(const uint8_t* P, const char* Id) {
  return std::memcmp(P, Id, 4) == 0;
}

// Skips chunks until one named Id; returns its declared size.
uint32_t FindChunk(TByteReader& R, const char* Id) {
  for (;;) {
    auto Name = R.Take(4);
    uint32_t Size = R.U32();
    if (IdIs(Name.data(), Id))
      return Size;
    R.Skip(Size);
  }
}
} // namespace

TWaveSound ParseWave(std::span<const uint8_t> Bytes, int32_t SampleRate, int32_t BitsPerSample) {
  TByteReader R(Bytes);
  auto Head = R.Take(12);
  if (!IdIs(Head.data(), "RIFF"))
    throw Exception("Not a RIFF file");
  if (!IdIs(Head.data() + 8, "WAVE"))
    throw Exception("Not WAVE encoded file");
  if (FindChunk(R, "fmt ") != 16)
    throw Exception("illegal fmt header size");
  uint16_t Tag = R.U16();
  uint16_t Channels = R.U16();
  uint32_t Rate = R.U32();
  R.U32(); // byte rate: not looked at
  uint16_t Align = R.U16();
  uint16_t Bits = R.U16();
  if (Tag != 1)
    throw Exception("Not PCM encoded file");
  if (Channels != 1)
    throw Exception("Not a mono file");
  if (static_cast<int64_t>(Rate) != SampleRate)
    throw Exception("Invalid Samplerate");
  if (Bits != BitsPerSample && Align != 2)
    throw Exception("Invalid Bits Pers Sample");
  uint32_t Declared = FindChunk(R, "data");
  TWaveSound S;
  std::memcpy(S.DataId.data(), "data", 4);
  S.Size = static_cast<uint32_t>(std::min<size_t>(Declared, R.Remaining()));
  S.Samples.assign((S.Size + 1) / 2, 0);
  if (S.Size > 0)
    R.Bytes(S.Samples.data(), S.Size);
  return S;
}

std::vector<uint8_t> ReadWholeFile(const std::string& FileName) {
  int Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0)
    throw Exception(Format("Cannot open file \"%s\". %s", FileName, std::strerror(errno)));
  std::vector<uint8_t> Data;
  uint8_t Buf[65536];
  for (;;) {
    ssize_t N = ::read(Fd, Buf, sizeof Buf);
    if (N < 0) {
      if (errno == EINTR)
        continue;
      int Err = errno;
      ::close(Fd);
      throw Exception(Format("Read error on \"%s\". %s", FileName, std::strerror(Err)));
    }
    if (N == 0)
      break;
    Data.insert(Data.end(), Buf, Buf + N);
  }
  ::close(Fd);
  return Data;
}

std::array<uint8_t, 44> RecordingHeader(uint32_t RiffLength, uint32_t DataBytes) {
  TByteWriter W;
  W.Bytes("RIFF", 4).U32(RiffLength).Bytes("WAVE", 4).Bytes("fmt ", 4).U32(16);
  W.U16(1).U16(1).U32(22050).U32(44100).U16(2).U16(16);
  W.Bytes("data", 4).U32(DataBytes);
  std::array<uint8_t, 44> H{};
  std::copy(W.Data().begin(), W.Data().end(), H.begin());
  return H;
}

std::unique_ptr<TFileStream> TFileStream::Create(const std::string& FileName) {
  int Fd = ::open(FileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Fd < 0)
    throw Exception(Format("Cannot create file \"%s\". %s", FileName, std::strerror(errno)));
  return std::unique_ptr<TFileStream>(new TFileStream(Fd));
}

TFileStream::~TFileStream() {
  if (FFd >= 0)
    ::close(FFd);
}

bool TFileStream::Write(const void* Data, size_t Bytes) {
  auto* P = static_cast<const uint8_t*>(Data);
  while (Bytes > 0) {
    ssize_t N = ::write(FFd, P, Bytes);
    if (N < 0 && errno == EINTR)
      continue;
    if (N <= 0) {
      FLastError = N < 0 ? errno : EIO;
      return false;
    }
    P += N;
    Bytes -= size_t(N);
  }
  return true;
}

bool TFileStream::Seek(int64_t Position) {
  if (::lseek(FFd, Position, SEEK_SET) < 0) {
    FLastError = errno;
    return false;
  }
  return true;
}

bool TFileStream::SeekEnd() {
  if (::lseek(FFd, 0, SEEK_END) < 0) {
    FLastError = errno;
    return false;
  }
  return true;
}

bool TFileStream::Truncate(int64_t Length) {
  if (::ftruncate(FFd, Length) != 0) {
    FLastError = errno;
    return false;
  }
  return true;
}

int64_t TFileStream::Size() const {
  struct stat St {};
  if (::fstat(FFd, &St) != 0)
    return -1;
  return St.st_size;
}

} // namespace orlavonix
