#include "protocol/UdpSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/Format.h"

namespace orlavonix {

int SocketErrorFromErrno(int Errno) {
  switch (Errno) {
  case ECONNREFUSED:
  case ECONNRESET:
    return seConnectionReset;
  case EBADF:
  case EINVAL:
  case ENOTSOCK:
  case ENOTCONN:
    return seInvalidArgument;
  case ENETUNREACH:
    return 10051;
  case EHOSTUNREACH:
    return 10065;
  case EMSGSIZE:
    return 10040;
  default:
    return 10000 + Errno;
  }
}

int SocketErrorFromResolver(int GaiError) {
  switch (GaiError) {
  case EAI_AGAIN:
    return seTryAgain;
  case EAI_FAIL:
    return seNoRecovery;
#ifdef EAI_NODATA
  case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
  case EAI_ADDRFAMILY:
#endif
    return seNoData;
  default:
    return seHostNotFound;
  }
}

ESocketError MakeSocketError(int Code) {
  const char* Text;
  switch (Code) {
  case seInvalidArgument:
    Text = "Invalid argument.";
    break;
  case seConnectionReset:
    Text = "Connection reset by peer.";
    break;
  case seHostNotFound:
    Text = "Host not found.";
    break;
  case seTryAgain:
    Text = "Non-authoritative host not found.";
    break;
  case seNoRecovery:
    Text = "This is a non-recoverable error.";
    break;
  case seNoData:
    Text = "Valid name, no data record of requested type.";
    break;
  default:
    Text = "Socket error.";
  }
  return ESocketError(Code, Format("Socket Error # %d %s", Code, Text));
}

TUdpSocket::~TUdpSocket() {
  Close();
}

std::string TUdpSocket::Resolve(const std::string& Host) {
  addrinfo Hints{};
  Hints.ai_family = AF_INET;
  Hints.ai_socktype = SOCK_DGRAM;
  addrinfo* Result = nullptr;
  int R = getaddrinfo(Host.c_str(), nullptr, &Hints, &Result);
  if (R != 0)
    throw MakeSocketError(R == EAI_SYSTEM ? SocketErrorFromErrno(errno)
                                          : SocketErrorFromResolver(R));
  char Text[INET_ADDRSTRLEN] = {};
  const auto* In = reinterpret_cast<const sockaddr_in*>(Result->ai_addr);
  inet_ntop(AF_INET, &In->sin_addr, Text, sizeof Text);
  freeaddrinfo(Result);
  return Text;
}

void TUdpSocket::Open(const std::string& Address, uint16_t Port) {
  std::unique_lock<std::shared_mutex> G(FLock);
  if (FFd >= 0) {
    ::close(FFd);
    FFd = -1;
  }
  sockaddr_in To{};
  To.sin_family = AF_INET;
  To.sin_port = htons(Port);
  if (inet_pton(AF_INET, Address.c_str(), &To.sin_addr) != 1)
    throw MakeSocketError(seHostNotFound);
  int Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (Fd < 0)
    throw MakeSocketError(SocketErrorFromErrno(errno));
  // Connected, so that only the server's datagrams arrive and a closed port
  // is reported as a reset.
  if (::connect(Fd, reinterpret_cast<const sockaddr*>(&To), sizeof To) != 0) {
    int E = errno;
    ::close(Fd);
    throw MakeSocketError(SocketErrorFromErrno(E));
  }
  FFd = Fd;
  FHost = Address;
  FPort = Port;
}

void TUdpSocket::Close() {
  std::unique_lock<std::shared_mutex> G(FLock);
  if (FFd >= 0)
    ::close(FFd);
  FFd = -1;
}

bool TUdpSocket::Active() const {
  std::shared_lock<std::shared_mutex> G(FLock);
  return FFd >= 0;
}

std::string TUdpSocket::RemoteHost() const {
  std::shared_lock<std::shared_mutex> G(FLock);
  return FHost;
}

uint16_t TUdpSocket::RemotePort() const {
  std::shared_lock<std::shared_mutex> G(FLock);
  return FPort;
}

size_t TUdpSocket::Receive(uint8_t* Buffer, size_t Size, int TimeoutMs, std::string& FromHost,
                           uint16_t& FromPort) {
  std::shared_lock<std::shared_mutex> G(FLock);
  if (FFd < 0)
    throw MakeSocketError(seInvalidArgument);
  pollfd P{FFd, POLLIN, 0};
  int R = ::poll(&P, 1, TimeoutMs);
  if (R < 0) {
    if (errno == EINTR)
      return 0;
    throw MakeSocketError(SocketErrorFromErrno(errno));
  }
  if (R == 0)
    return 0;
  sockaddr_in From{};
  socklen_t Len = sizeof From;
  ssize_t N = ::recvfrom(FFd, Buffer, Size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&From), &Len);
  if (N < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
      return 0;
    throw MakeSocketError(SocketErrorFromErrno(errno));
  }
  char Text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &From.sin_addr, Text, sizeof Text);
  FromHost = Text;
  FromPort = ntohs(From.sin_port);
  return static_cast<size_t>(N);
}

bool TUdpSocket::Send(const void* Data, size_t Size) {
  std::shared_lock<std::shared_mutex> G(FLock);
  if (FFd < 0)
    return false;
  ssize_t N;
  do
    N = ::send(FFd, Data, Size, MSG_NOSIGNAL);
  while (N < 0 && errno == EINTR);
  if (N < 0)
    throw MakeSocketError(SocketErrorFromErrno(errno));
  return true;
}

} // namespace orlavonix
