#include "integration/SocketCom.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

#include "base/Bytes.h"
#include "protocol/logdebug.h"

namespace orlavonix {

namespace {

constexpr int AcceptPollMs = 250;
constexpr int RequestPollMs = 100;
constexpr int ReplySendTimeoutMs = 1000;

// Closes a descriptor on every path out of a scope.
class TFd {
public:
  explicit TFd(int Fd = -1) : FFd(Fd) {}
  ~TFd() {
    if (FFd >= 0)
      ::close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }

private:
  int FFd;
};

bool FillAddress(const std::string& Path, sockaddr_un& Addr) {
  std::memset(&Addr, 0, sizeof Addr);
  Addr.sun_family = AF_UNIX;
  if (Path.size() >= sizeof Addr.sun_path)
    return false;
  std::memcpy(Addr.sun_path, Path.data(), Path.size());
  return true;
}

// Waits for exactly "readable"; false on time-out, error or hang-up alone.
bool WaitReadable(int Fd, int TimeoutMs) {
  pollfd P{Fd, POLLIN, 0};
  int R;
  do
    R = ::poll(&P, 1, TimeoutMs);
  while (R < 0 && errno == EINTR);
  return R == 1 && (P.revents & POLLIN);
}

ssize_t RecvOnce(int Fd, void* Buf, size_t N, int Flags = 0) {
  ssize_t R;
  do
    R = ::recv(Fd, Buf, N, Flags);
  while (R < 0 && errno == EINTR);
  return R;
}

ssize_t SendOnce(int Fd, const void* Buf, size_t N) {
  ssize_t R;
  do
    R = ::send(Fd, Buf, N, MSG_NOSIGNAL);
  while (R < 0 && errno == EINTR);
  return R;
}

[[noreturn]] void RaiseSystemError(const char* What) {
  throw std::system_error(errno, std::generic_category(), What);
}

} // namespace

// --- lock --------------------------------------------------------------

TInstanceLock::TInstanceLock(std::string LockPath, std::string SocketPath)
    : FLockPath(std::move(LockPath)), FSocketPath(std::move(SocketPath)) {
  // The path lies in a folder every user can write to: never follow a
  // symbolic link placed there, and never block on a pipe put in its way.
  FFd = ::open(FLockPath.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0222);
  if (FFd < 0)
    return;
  struct stat St {};
  if (::fstat(FFd, &St) != 0 || !S_ISREG(St.st_mode) || ::flock(FFd, LOCK_EX | LOCK_NB) != 0) {
    ::close(FFd);
    FFd = -1;
    return;
  }
  ::unlink(FSocketPath.c_str());
  FOwnsLock = true;
}

TInstanceLock::~TInstanceLock() {
  if (FFd < 0)
    return;
  if (FOwnsLock) {
    ::flock(FFd, LOCK_UN);
    ::unlink(FLockPath.c_str());
  }
  ::close(FFd);
}

bool CheckSingleInstance(const TInstanceLock& Lock, const std::vector<std::string>& Args,
                         std::FILE* Out) {
  if (Lock.OwnsLock())
    return true;
  std::fprintf(Out, "orlavonix is already running, redirecting startupinfo\n");
  std::fprintf(Out, "If orlavonix is not running, delete the file \"%s\"\n",
               Lock.LockPath().c_str());
  std::fflush(Out);
  if (Args.empty()) {
    SendToRunningInstance("FOREGROUND", Lock.SocketPath());
    return false;
  }
  size_t I = 0;
  while (I < Args.size() && !Args[I].empty() && Args[I][0] == '-')
    ++I;
  std::string Link;
  for (size_t J = I; J < Args.size(); ++J) {
    if (J > I)
      Link += ' ';
    Link += Args[J];
  }
  if (!Link.empty())
    SendToRunningInstance("CONNECT " + Link, Lock.SocketPath());
  return false;
}

// --- requesting side ---------------------------------------------------------

std::optional<std::string> SendSocketRequest(const std::string& Text, const std::string& SocketPath,
                                             std::chrono::milliseconds ReplyTimeout) {
  sockaddr_un Addr;
  if (!FillAddress(SocketPath, Addr))
    return std::nullopt;
  TFd S(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!S.Valid())
    return std::nullopt;
  if (::connect(S.Get(), reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) != 0)
    return std::nullopt;
  uint8_t Len[4];
  PutLE<uint32_t>(Len, static_cast<uint32_t>(Text.size() + 1));
  if (SendOnce(S.Get(), Len, 4) != 4)
    return std::nullopt;
  if (SendOnce(S.Get(), Text.c_str(), Text.size() + 1) != static_cast<ssize_t>(Text.size() + 1))
    return std::nullopt;
  if (!WaitReadable(S.Get(), static_cast<int>(ReplyTimeout.count())))
    return std::nullopt;
  if (RecvOnce(S.Get(), Len, 4, MSG_WAITALL) != 4)
    return std::nullopt;
  uint32_t L = GetLE<uint32_t>(Len);
  if (L == 0 || L > SocketComMaxBody + 1)
    return std::nullopt;
  std::vector<char> Body(L);
  if (RecvOnce(S.Get(), Body.data(), L, MSG_WAITALL) != static_cast<ssize_t>(L))
    return std::nullopt;
  return std::string(Body.data(), ::strnlen(Body.data(), L));
}

void SendToRunningInstance(const std::string& Text, const std::string& SocketPath) {
  (void)SendSocketRequest(Text, SocketPath);
}

// --- serving side ------------------------------------------------------------

TSocketCom::TSocketCom(TCommandHandler DoCommand, std::string SocketPath)
    : FDoCommand(std::move(DoCommand)), FSocketPath(std::move(SocketPath)),
      FBuffer(SocketComMaxBody + 1) {
  Start();
}

TSocketCom::~TSocketCom() {
  Terminate();
  WaitFor();
}

void TSocketCom::SetState(int State) {
  {
    std::lock_guard<std::mutex> G(FStateLock);
    FState = State;
  }
  FStateSignal.notify_all();
}

bool TSocketCom::WaitListening(std::chrono::milliseconds Timeout) {
  std::unique_lock<std::mutex> G(FStateLock);
  FStateSignal.wait_for(G, Timeout, [&] { return FState != 0; });
  return FState == 1;
}

void TSocketCom::Execute() {
  struct TEnd {
    TSocketCom* Self;
    ~TEnd() { Self->SetState(2); }
  } End{this};
  try {
    sockaddr_un Addr;
    if (!FillAddress(FSocketPath, Addr))
      throw std::system_error(ENAMETOOLONG, std::generic_category(), "socket path");
    TFd Listen(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!Listen.Valid())
      RaiseSystemError("socket");
    ::unlink(FSocketPath.c_str());
    if (::bind(Listen.Get(), reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) != 0)
      RaiseSystemError("bind");
    // Only the owner may connect. Nobody can connect before listen, so the
    // socket is never reachable with wider permissions.
    if (::chmod(FSocketPath.c_str(), 0600) != 0) {
      ::unlink(FSocketPath.c_str());
      RaiseSystemError("chmod");
    }
    int Flags = ::fcntl(Listen.Get(), F_GETFL);
    ::fcntl(Listen.Get(), F_SETFL, Flags | O_NONBLOCK);
    if (::listen(Listen.Get(), 0) != 0) {
      ::unlink(FSocketPath.c_str());
      RaiseSystemError("listen");
    }
    SetState(1);

    while (!Terminated()) {
      while (!Terminated() && !WaitReadable(Listen.Get(), AcceptPollMs)) {
      }
      if (Terminated())
        break;
      TFd Conn(::accept4(Listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!Conn.Valid())
        continue;
      try {
        ServeConnection(Conn.Get());
      } catch (const std::exception& E) {
        LogException("TSocketCom.DoCommand", E);
      }
    }
    ::unlink(FSocketPath.c_str());
  } catch (const std::exception& E) {
    LogException("TSocketCom.Execute", E);
  }
}

void TSocketCom::ServeConnection(int Conn) {
  // A peer of another user is refused, whatever the file permissions said.
  ucred Peer{};
  socklen_t PeerLen = sizeof Peer;
  if (::getsockopt(Conn, SOL_SOCKET, SO_PEERCRED, &Peer, &PeerLen) != 0 || Peer.uid != ::getuid())
    return;

  if (!WaitReadable(Conn, RequestPollMs))
    return;
  uint8_t Len[4];
  if (RecvOnce(Conn, Len, 4) != 4)
    return;
  uint32_t N = GetLE<uint32_t>(Len);
  if (!WaitReadable(Conn, RequestPollMs))
    return;
  ssize_t Got = RecvOnce(Conn, FBuffer.data(), SocketComMaxBody);
  if (Got <= 0 || static_cast<uint32_t>(Got) != N)
    return;
  // The body is the text and its one terminating zero; anything else is
  // not a request.
  if (FBuffer[N - 1] != 0 || std::memchr(FBuffer.data(), 0, N - 1) != nullptr)
    return;
  FCommand.assign(FBuffer.data(), N - 1);
  if (Terminated())
    return;
  FReply.clear();
  TThread::Synchronize([this] { FReply = FDoCommand(FCommand); });

  timeval Tv{ReplySendTimeoutMs / 1000, (ReplySendTimeoutMs % 1000) * 1000};
  ::setsockopt(Conn, SOL_SOCKET, SO_SNDTIMEO, &Tv, sizeof Tv);
  PutLE<uint32_t>(Len, static_cast<uint32_t>(FReply.size() + 1));
  if (SendOnce(Conn, Len, 4) != 4)
    return;
  (void)SendOnce(Conn, FReply.c_str(), FReply.size() + 1);
}

} // namespace orlavonix
