#include "audio/NetworkioThread.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/Exceptions.h"
#include "base/Format.h"
#include "protocol/logdebug.h"

namespace orlavonix {

namespace {
constexpr const char* FormatError = "Wrong device format (port:B / port:L)";
constexpr const char* CtxExecute = "TNetworkioThread.execute";
constexpr const char* CtxWait = "TNetworkioThread.waitForConnection";
// The stopwatch reports at most this many milliseconds.
constexpr int32_t ClockRange = 5000;
// Re-basing happens no later than this, leaving room for a late step.
constexpr int32_t RebaseLimitMs = 4000;
} // namespace

TNetworkDeviceName ParseNetworkDeviceName(const std::string& Name) {
  std::string Upper = Name;
  std::transform(Upper.begin(), Upper.end(), Upper.begin(),
                 [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
  TNetworkDeviceName Result;
  size_t At = Upper.find(":B");
  if (At != std::string::npos) {
    Result.LittleEndian = false;
  } else {
    At = Upper.find(":L");
    if (At == std::string::npos)
      throw Exception(FormatError);
    Result.LittleEndian = true;
  }
  const char* First = Upper.data();
  const char* Last = First + At;
  auto [Ptr, Ec] = std::from_chars(First, Last, Result.Port);
  if (At == 0 || Ec != std::errc() || Ptr != Last)
    throw Exception(FormatError);
  return Result;
}

void ConvertByteOrder(void* Block, size_t Bytes, bool LittleEndian) {
  if (LittleEndian)
    return;
  auto* P = static_cast<uint8_t*>(Block);
  for (size_t I = 0; I + 1 < Bytes; I += 2)
    std::swap(P[I], P[I + 1]);
}

TBlockPacer::TBlockPacer(int BlockSize, TPerformanceTime& Clock)
    : FBlockSize(BlockSize), FClock(Clock) {
  FRebaseAt = 64;
  while (FRebaseAt > 1 && DueOf(FRebaseAt) > RebaseLimitMs)
    --FRebaseAt;
}

int32_t TBlockPacer::DueOf(int32_t K) const {
  return static_cast<int32_t>(std::nearbyint(K * 1000.0 * FBlockSize / 44100.0));
}

void TBlockPacer::Begin() {
  FClock.Restart();
  FBlock = 1;
  FDue = DueOf(FBlock);
}

int32_t TBlockPacer::TimeToNext() {
  int32_t Elapsed = FClock.ElapsedMs(ClockRange, false);
  if (Elapsed < 0) {
    FClock.Restart();
    FDue = DueOf(FBlock);
    Elapsed = 0;
  }
  return FDue - Elapsed;
}

void TBlockPacer::BlockStep(int32_t TimeLeft) {
  int32_t Offset = 0;
  if (FBlock >= FRebaseAt) {
    FClock.Restart();
    Offset = std::min(-TimeLeft, DueOf(1));
    FBlock = 1;
  } else {
    ++FBlock;
  }
  FDue = DueOf(FBlock) - Offset;
}

TNetworkioThread::TNetworkioThread(const std::string& DeviceName, int BlockSize,
                                   TSoundDeviceFactory& Devices, const TClock* Clock)
    : FBlockSize(std::max(2, BlockSize & ~1)), FClockSource(Clock), FDevices(Devices) {
  FDeviceName = DeviceName;
  std::transform(FDeviceName.begin(), FDeviceName.end(), FDeviceName.begin(),
                 [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
  TNetworkDeviceName Parsed = ParseNetworkDeviceName(DeviceName);
  FPort = Parsed.Port;
  FLittleEndian = Parsed.LittleEndian;
  Start();
}

TNetworkioThread::~TNetworkioThread() {
  Terminate();
  WaitFor();
}

int TNetworkioThread::OpenSocket() {
  int S = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (S < 0)
    return errno;
  int One = 1;
  (void)::setsockopt(S, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_ANY);
  A.sin_port = htons(static_cast<uint16_t>(FPort & 0xFFFF));
  int Err = 0;
  int Flags = 0;
  if (::bind(S, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || ::listen(S, 1) != 0 ||
      (Flags = ::fcntl(S, F_GETFL)) < 0 || ::fcntl(S, F_SETFL, Flags | O_NONBLOCK) < 0)
    Err = errno;
  if (Err != 0) {
    ::close(S);
    return Err;
  }
  sockaddr_in Bound{};
  socklen_t Len = sizeof Bound;
  if (::getsockname(S, reinterpret_cast<sockaddr*>(&Bound), &Len) == 0)
    FBoundPort.store(ntohs(Bound.sin_port), std::memory_order_release);
  FListenSocket = S;
  return 0;
}

void TNetworkioThread::Initialize() {
  int Err = OpenSocket();
  if (Err != 0)
    throw Exception(
        Format("Opening network socket failed with error: %d (%s)", Err, std::strerror(Err)));
  FClock = NewPerformanceTime(FClockSource);
  FPacer = std::make_unique<TBlockPacer>(FBlockSize, *FClock);
  FInBuffer.assign(3 * FBlockSize / 2, 0);
  FOutBuffer.assign(3 * FBlockSize / 2, 0);
  FIn = FDevices.CreateInput(*this);
  FOut = FDevices.CreateOutput(*this);
  FInitialized.store(true, std::memory_order_release);
}

void TNetworkioThread::WaitForConnection() {
  FConnected.store(false, std::memory_order_release);
  while (!Terminated()) {
    pollfd P{FListenSocket, POLLIN, 0};
    int R = ::poll(&P, 1, 100);
    if (R < 0) {
      if (errno != EINTR)
        throw Exception("TNetworkioThread.waitForConnection Poll error");
      continue;
    }
    if (R == 0)
      continue;
    int S = ::accept4(FListenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    if (S < 0)
      continue;
    int Flags = ::fcntl(S, F_GETFL);
    if (Flags < 0) {
      LogError(CtxWait, Format("Error nr: %d during fcntl(get)", errno));
      ::close(S);
      continue;
    }
    if (::fcntl(S, F_SETFL, Flags | O_NONBLOCK) < 0) {
      LogError(CtxWait, Format("Error nr: %d during fcntl(set)", errno));
      ::close(S);
      continue;
    }
    FSocket = S;
    FConnected.store(true, std::memory_order_release);
    return;
  }
}

void TNetworkioThread::CloseConnection() {
  if (!FConnected.load(std::memory_order_acquire))
    return;
  LogDebug("TNetworkioThread.CloseConnection", "Closed connection");
  FConnected.store(false, std::memory_order_release);
  ::shutdown(FSocket, SHUT_RDWR);
  ::close(FSocket);
  FSocket = -1;
}

void TNetworkioThread::ResetRings() {
  // A new peer starts on a block boundary with nothing left from the last one.
  FInRead = FInCount = FOutRead = FOutCount = 0;
  FInFill = FOutSent = 0;
  FPeerDone = false;
}

void TNetworkioThread::Execute() {
  try {
    Initialize();
  } catch (const std::exception& E) {
    LogException("TNetworkioThread.Initialize", E);
    Terminate();
  }
  while (!Terminated()) {
    try {
      CloseConnection();
      WaitForConnection();
      if (Terminated())
        break;
      LogDebug(CtxExecute, "Connection opend");
      ResetRings();
      FPacer->Begin();
      while (!Terminated() && ExchangePass()) {
      }
    } catch (const std::exception& E) {
      LogException(CtxExecute, E);
    }
  }
  Cleanup();
}

bool TNetworkioThread::ExchangePass() {
  int32_t TimeLeft = FPacer->TimeToNext();
  if (TimeLeft <= 0) {
    BlockStep(TimeLeft);
    return true;
  }
  short Events = 0;
  if (FInCount < 3 && !FPeerDone)
    Events |= POLLIN;
  if (FOutCount > 0)
    Events |= POLLOUT;
  pollfd P{FSocket, Events, 0};
  int R = Events ? ::poll(&P, 1, TimeLeft) : ::poll(nullptr, 0, TimeLeft);
  if (Terminated())
    return false;
  if (R < 0) {
    if (errno == EINTR)
      return true;
    LogError(CtxExecute, Format("Error %d during poll", errno));
    return false;
  }
  if (R == 0)
    return true;
  if (P.revents & (POLLERR | POLLHUP | POLLNVAL)) {
    LogError(CtxExecute,
             "Error during poll on descriptor. Probaly the other side closed connection.");
    return false;
  }
  auto* InBytes = reinterpret_cast<uint8_t*>(FInBuffer.data());
  auto* OutBytes = reinterpret_cast<uint8_t*>(FOutBuffer.data());
  if (P.revents & POLLIN) {
    int Slot = (FInRead + FInCount) % 3;
    ssize_t N = ::recv(FSocket, InBytes + Slot * FBlockSize + FInFill,
                       static_cast<size_t>(FBlockSize - FInFill), 0);
    if (N < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        LogError(CtxExecute, Format("Error %d during receive", errno));
        return false;
      }
    } else if (N == 0) {
      // The peer has finished sending; it may still read what is played.
      FPeerDone = true;
    } else {
      FInFill += static_cast<int>(N);
      if (FInFill == FBlockSize) {
        FInFill = 0;
        ConvertByteOrder(InBytes + Slot * FBlockSize, static_cast<size_t>(FBlockSize),
                         FLittleEndian);
        ++FInCount;
      }
    }
  }
  if (P.revents & POLLOUT) {
    ssize_t N = ::send(FSocket, OutBytes + FOutRead * FBlockSize + FOutSent,
                       static_cast<size_t>(FBlockSize - FOutSent), MSG_NOSIGNAL);
    if (N < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        LogError(CtxExecute, Format("Error %d during send", errno));
        return false;
      }
    } else {
      FOutSent += static_cast<int>(N);
      if (FOutSent == FBlockSize) {
        FOutSent = 0;
        --FOutCount;
        FOutRead = (FOutRead + 1) % 3;
      }
    }
  }
  return true;
}

void TNetworkioThread::BlockStep(int32_t TimeLeft) {
  FPacer->BlockStep(TimeLeft);
  const int Samples = FBlockSize / 2;
  if (FInCount > 0) {
    if (FIn)
      FIn->ProcessInput(FInBuffer.data() + FInRead * Samples, Samples);
    --FInCount;
    FInRead = (FInRead + 1) % 3;
  } else {
    LogDebug(CtxExecute, "inbuffer empty!");
  }
  if (FOutCount < 3) {
    int Slot = (FOutRead + FOutCount) % 3;
    int16_t* Block = FOutBuffer.data() + Slot * Samples;
    if (FOut)
      FOut->ProduceOutput(Block, Samples);
    ConvertByteOrder(Block, static_cast<size_t>(FBlockSize), FLittleEndian);
    ++FOutCount;
  } else {
    LogDebug(CtxExecute, "outbuffer full!");
  }
}

void TNetworkioThread::Cleanup() {
  try {
    CloseConnection();
    FIn.reset();
    FOut.reset();
    FInBuffer.clear();
    FOutBuffer.clear();
    FPacer.reset();
    FClock.reset();
    if (FListenSocket >= 0) {
      ::close(FListenSocket);
      FListenSocket = -1;
    }
  } catch (const std::exception& E) {
    LogException("TNetworkioThread.Cleanup", E);
  }
}

} // namespace orlavonix
