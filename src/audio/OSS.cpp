#include "audio/OSS.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "audio/soundcard.h"
#include "base/Format.h"

namespace orlavonix {

namespace {

class TRealOssSystem : public TOssSystem {
public:
  int Open(const char* Path, int Flags) override { return ::open(Path, Flags, 0); }
  int Ioctl(int Fd, unsigned long Request, int* Arg) override { return ::ioctl(Fd, Request, Arg); }
  long Read(int Fd, void* Buffer, size_t Bytes) override { return ::read(Fd, Buffer, Bytes); }
  long Write(int Fd, const void* Buffer, size_t Bytes) override {
    return ::write(Fd, Buffer, Bytes);
  }
  int PollIn(int Fd, int TimeoutMs) override {
    pollfd P{Fd, POLLIN, 0};
    int R = ::poll(&P, 1, TimeoutMs);
    return R > 0 ? 1 : R;
  }
  int Close(int Fd) override { return ::close(Fd); }
  std::string SystemName() override {
    utsname U{};
    if (::uname(&U) != 0)
      return "";
    return U.sysname;
  }
};

[[noreturn]] void RaiseSystemError(const std::string& Context, int Err) {
  throw EOSSException(Format("OSS error in %s: %s", Context, std::strerror(Err)), Err);
}

void Request(TOssSystem& Sys, int Handle, unsigned long Code, int& Arg, const char* Context) {
  if (Sys.Ioctl(Handle, Code, &Arg) < 0)
    RaiseSystemError(Context, errno);
}

} // namespace

TOssSystem& RealOssSystem() {
  static TRealOssSystem Sys;
  return Sys;
}

int OpenSoundDevice(const std::string& Name, int Mode, TOssSystem& Sys) {
  std::string System = Sys.SystemName();
  std::transform(System.begin(), System.end(), System.begin(),
                 [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
  int Flags = Mode == 0 ? O_RDONLY : Mode == 1 ? O_WRONLY : O_RDWR;
  int Handle = Sys.Open(Name.c_str(), Flags);
  if (Handle < 0)
    RaiseSystemError(Format("OpenSoundDevice (%s)", Name), errno);
  try {
    int Arg = 0;
    Request(Sys, Handle, soundcard::DspReset, Arg,
            Format("OpenSoundDevice-reset (%s)", Name).c_str());
    if (System != "FREEBSD" && Mode == 2) {
      Arg = 0;
      Request(Sys, Handle, soundcard::DspSetDuplex, Arg,
              Format("OpenSoundDevice-fullduplex (%s)", Name).c_str());
    }
  } catch (...) {
    // The caller never sees the descriptor, so it must not stay open.
    Sys.Close(Handle);
    throw;
  }
  return Handle;
}

void GetDeviceCaps(int Handle, int& Revision, int& Caps, TOssSystem& Sys) {
  int Word = 0;
  Request(Sys, Handle, soundcard::DspGetCaps, Word, "GetDeviceCaps");
  Revision = Word & 0xFF;
  Caps = (Word >> 8) & 0xFF;
}

int FragmentArgument(int Count, int Size) {
  if (Size < 1 || Size > 32768 || (Size & (Size - 1)) != 0)
    throw EOSSException(
        Format("OSS error in SetFragmentSize: %d fragment size not supported", Size), 0);
  int Log2 = 0;
  while ((1 << Log2) < Size)
    ++Log2;
  int Fragments = (Count >= 2 && Count <= 16) ? Count : 65535;
  return (Fragments << 16) | Log2;
}

void SetFragmentSize(int Handle, int Count, int Size, TOssSystem& Sys) {
  int Arg = FragmentArgument(Count, Size);
  Request(Sys, Handle, soundcard::DspSetFragment, Arg, "SetFragmentSize");
}

void CheckSoundFormat(int Rate, int Bits, int Channels) {
  if (Bits != 8 && Bits != 16)
    throw EOSSException(Format("OSS error in SetSoundFormat: %d BitsPerSample not supported", Bits),
                        0);
  if (Channels != 1 && Channels != 2)
    throw EOSSException(Format("OSS error in SetSoundFormat: %d Channels not supported", Channels),
                        0);
  if (Rate != 8000 && Rate != 11025 && Rate != 22050 && Rate != 44100)
    throw EOSSException(Format("OSS error in SetSoundFormat: %d SampleRate not supported", Rate),
                        0);
}

void SetSoundFormat(int Handle, int Rate, int Bits, int Channels, TOssSystem& Sys) {
  CheckSoundFormat(Rate, Bits, Channels);
  int Fmt = Bits == 8 ? soundcard::FmtS8 : soundcard::FmtS16LE;
  Request(Sys, Handle, soundcard::DspSetFmt, Fmt, "SetSoundFormat(SetFormat)");
  int Ch = Channels;
  Request(Sys, Handle, soundcard::DspChannels, Ch, "SetSoundFormat(SetChannels)");
  int Speed = Rate;
  Request(Sys, Handle, soundcard::DspSpeed, Speed, "SetSoundFormat(SetSpeed)");
}

void GetSoundBufferSize(int Handle, int& Size, TOssSystem& Sys) {
  int Arg = 0;
  Request(Sys, Handle, soundcard::DspGetBlkSize, Arg, "GetSoundBufferSize");
  Size = Arg;
}

size_t OutputSound(int Handle, const void* Buffer, size_t Bytes, TOssSystem& Sys) {
  auto* P = static_cast<const uint8_t*>(Buffer);
  size_t Done = 0;
  while (Done < Bytes) {
    long N = Sys.Write(Handle, P + Done, Bytes - Done);
    if (N < 0) {
      if (errno == EINTR)
        continue;
      RaiseSystemError("OutputSound", errno);
    }
    if (N == 0)
      break;
    Done += static_cast<size_t>(N);
  }
  return Done;
}

size_t InputSound(int Handle, void* Buffer, size_t Bytes, TOssSystem& Sys,
                  const std::function<bool()>& ShouldStop) {
  auto* P = static_cast<uint8_t*>(Buffer);
  size_t Done = 0;
  while (Done < Bytes) {
    if (ShouldStop) {
      if (ShouldStop())
        break;
      int Ready = Sys.PollIn(Handle, 100);
      if (Ready == 0 || (Ready < 0 && errno == EINTR))
        continue;
      if (Ready < 0)
        RaiseSystemError("InputSound", errno);
    }
    long N = Sys.Read(Handle, P + Done, Bytes - Done);
    if (N < 0) {
      if (errno == EINTR)
        continue;
      RaiseSystemError("InputSound", errno);
    }
    if (N == 0)
      break;
    Done += static_cast<size_t>(N);
  }
  return Done;
}

void CloseDevice(int Handle, TOssSystem& Sys) {
  if (Sys.Close(Handle) < 0)
    RaiseSystemError("CloseDevice", errno);
}

} // namespace orlavonix
