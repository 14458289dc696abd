#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/Exceptions.h"

namespace orlavonix {

// A failed sound device call. ErrorNumber is the system's error number at the
// time of the failure, 0 for values refused before any request is made.
class EOSSException : public Exception {
public:
  EOSSException(std::string Message, int ErrorNumber)
      : Exception(std::move(Message)), FErrorNumber(ErrorNumber) {}
  const char* ClassName() const override { return "EOSSException"; }
  int ErrorNumber() const { return FErrorNumber; }

private:
  int FErrorNumber;
};

// The system calls behind the device functions. The real one talks to the
// kernel (or to whatever emulation is preloaded); tests may put their own in
// to stand for systems this machine is not.
class TOssSystem {
public:
  virtual ~TOssSystem() = default;
  virtual int Open(const char* Path, int Flags) = 0;
  virtual int Ioctl(int Fd, unsigned long Request, int* Arg) = 0;
  virtual long Read(int Fd, void* Buffer, size_t Bytes) = 0;
  virtual long Write(int Fd, const void* Buffer, size_t Bytes) = 0;
  // 1 when readable, 0 on time-out, negative on failure (errno set).
  virtual int PollIn(int Fd, int TimeoutMs) = 0;
  virtual int Close(int Fd) = 0;
  // The operating system's name as uname reports it.
  virtual std::string SystemName() = 0;
};

TOssSystem& RealOssSystem();

// Mode 0 read, 1 write, anything else read and write.
int OpenSoundDevice(const std::string& Name, int Mode, TOssSystem& Sys = RealOssSystem());
// Revision: low byte of the capability word; Caps: bits 8 to 15 of it.
void GetDeviceCaps(int Handle, int& Revision, int& Caps, TOssSystem& Sys = RealOssSystem());
// The request argument for Count fragments of Size bytes; refuses sizes that
// are not a power of two from 1 to 32768.
int FragmentArgument(int Count, int Size);
void SetFragmentSize(int Handle, int Count, int Size, TOssSystem& Sys = RealOssSystem());
// Refuses unsupported values before any request is made.
void CheckSoundFormat(int Rate, int Bits, int Channels);
void SetSoundFormat(int Handle, int Rate, int Bits, int Channels,
                    TOssSystem& Sys = RealOssSystem());
void GetSoundBufferSize(int Handle, int& Size, TOssSystem& Sys = RealOssSystem());
// Both transfer the whole buffer: a device may pass fewer bytes per call than
// asked (emulations often do), so they go on until all has passed. They return
// the bytes that passed, less than asked only when the device reports an end.
size_t OutputSound(int Handle, const void* Buffer, size_t Bytes, TOssSystem& Sys = RealOssSystem());
// With ShouldStop, reading waits in steps of at most 100 ms and gives up when
// it turns true, so that a device that never delivers cannot hold its caller.
size_t InputSound(int Handle, void* Buffer, size_t Bytes, TOssSystem& Sys = RealOssSystem(),
                  const std::function<bool()>& ShouldStop = nullptr);
void CloseDevice(int Handle, TOssSystem& Sys = RealOssSystem());

} // namespace orlavonix
