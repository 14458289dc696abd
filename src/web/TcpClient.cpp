#include "web/TcpClient.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/Format.h"

namespace orlavonix {

namespace {
using TSteady = std::chrono::steady_clock;

int RemainingMs(TSteady::time_point Deadline) {
  auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TSteady::now());
  return Left.count() < 0 ? 0 : static_cast<int>(Left.count());
}
} // namespace

TTcpClient::TTcpClient() {
  FWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FWake < 0)
    throw ETcpClient(Format("Cannot create a wake-up event: %s", std::strerror(errno)));
}

TTcpClient::~TTcpClient() {
  Disconnect();
  if (FWake >= 0)
    close(FWake);
}

void TTcpClient::Cancel() {
  FCancelled.store(true, std::memory_order_release);
  uint64_t One = 1;
  [[maybe_unused]] ssize_t N = write(FWake, &One, sizeof One);
}

void TTcpClient::CheckCancelled() const {
  if (FCancelled.load(std::memory_order_acquire))
    throw ETcpClient("Connection cancelled");
}

bool TTcpClient::WaitFor(int Fd, short Events, int TimeoutMs) {
  auto Deadline = TSteady::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    CheckCancelled();
    pollfd P[2] = {{Fd, Events, 0}, {FWake, POLLIN, 0}};
    int Rc = poll(P, 2, RemainingMs(Deadline));
    if (Rc < 0) {
      if (errno == EINTR)
        continue;
      throw ETcpClient(Format("poll failed: %s", std::strerror(errno)));
    }
    CheckCancelled();
    if (Rc == 0)
      return false;
    if (P[0].revents)
      return true;
  }
}

void TTcpClient::Connect(const std::string& Host, uint16_t Port, int TimeoutMs) {
  Disconnect();
  CheckCancelled();
  addrinfo Hints{};
  Hints.ai_family = AF_UNSPEC;
  Hints.ai_socktype = SOCK_STREAM;
  addrinfo* List = nullptr;
  std::string PortText = std::to_string(Port);
  int G = getaddrinfo(Host.c_str(), PortText.c_str(), &Hints, &List);
  if (G != 0)
    throw ETcpClient(Format("Cannot resolve %s: %s", Host, gai_strerror(G)));
  auto Deadline = TSteady::now() + std::chrono::milliseconds(TimeoutMs);
  std::string LastError = "no address";
  for (addrinfo* A = List; A; A = A->ai_next) {
    int Fd = socket(A->ai_family, A->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, A->ai_protocol);
    if (Fd < 0) {
      LastError = std::strerror(errno);
      continue;
    }
    bool Ok = connect(Fd, A->ai_addr, A->ai_addrlen) == 0;
    if (!Ok && errno == EINPROGRESS) {
      try {
        if (WaitFor(Fd, POLLOUT, RemainingMs(Deadline))) {
          int Err = 0;
          socklen_t Len = sizeof Err;
          getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Err, &Len);
          Ok = Err == 0;
          if (!Ok)
            LastError = std::strerror(Err);
        } else {
          LastError = Format("no connection within %d ms", TimeoutMs);
        }
      } catch (...) {
        close(Fd);
        freeaddrinfo(List);
        throw;
      }
    } else if (!Ok) {
      LastError = std::strerror(errno);
    }
    if (Ok) {
      FSocket = Fd;
      break;
    }
    close(Fd);
    if (RemainingMs(Deadline) == 0)
      break;
  }
  freeaddrinfo(List);
  if (FSocket < 0)
    throw ETcpClient(Format("Cannot connect to %s:%d: %s", Host, Port, LastError));
}

void TTcpClient::WriteAll(std::span<const uint8_t> Bytes, int TimeoutMs) {
  size_t Done = 0;
  while (Done < Bytes.size()) {
    CheckCancelled();
    if (FSocket < 0)
      throw ETcpClient("Not connected");
    ssize_t N = send(FSocket, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
    if (N > 0) {
      Done += static_cast<size_t>(N);
      continue;
    }
    if (N < 0 && errno == EINTR)
      continue;
    if (N < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(FSocket, POLLOUT, TimeoutMs))
        throw ETcpClient(Format("Write timed out after %d ms", TimeoutMs));
      continue;
    }
    throw ETcpClient(Format("Write failed: %s", std::strerror(errno)));
  }
}

void TTcpClient::ReadExact(void* Buffer, size_t N, int TimeoutMs) {
  auto* Out = static_cast<uint8_t*>(Buffer);
  size_t Got = 0;
  while (Got < N) {
    CheckCancelled();
    if (FSocket < 0)
      throw ETcpClient("Not connected");
    ssize_t R = recv(FSocket, Out + Got, N - Got, 0);
    if (R > 0) {
      Got += static_cast<size_t>(R);
      continue;
    }
    if (R == 0)
      throw ETcpClient("Connection closed by peer");
    if (errno == EINTR)
      continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitFor(FSocket, POLLIN, TimeoutMs))
        throw ETcpClient(Format("Read timed out after %d ms", TimeoutMs));
      continue;
    }
    throw ETcpClient(Format("Read failed: %s", std::strerror(errno)));
  }
}

void TTcpClient::Disconnect() {
  if (FSocket >= 0) {
    close(FSocket);
    FSocket = -1;
  }
}

} // namespace orlavonix
