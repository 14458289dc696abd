#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace orlavonix::test {

// A TCP peer on the loopback interface.
class TPeer {
public:
  explicit TPeer(int Port) {
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(static_cast<uint16_t>(Port));
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Ok = ::connect(FFd, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
  }
  ~TPeer() { Close(); }
  void Close() {
    if (FFd >= 0)
      ::close(FFd);
    FFd = -1;
  }
  // Closes so that the other side sees a reset rather than an orderly end.
  void Reset() {
    linger L{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &L, sizeof L);
    Close();
  }
  bool SendAll(const std::vector<uint8_t>& B) {
    size_t Done = 0;
    while (Done < B.size()) {
      ssize_t N = ::send(FFd, B.data() + Done, B.size() - Done, MSG_NOSIGNAL);
      if (N <= 0)
        return false;
      Done += size_t(N);
    }
    return true;
  }
  // Reads exactly N bytes or returns what came before the time-out.
  std::vector<uint8_t> Read(size_t N, std::chrono::milliseconds Timeout) {
    std::vector<uint8_t> B;
    auto End = std::chrono::steady_clock::now() + Timeout;
    while (B.size() < N) {
      auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
          End - std::chrono::steady_clock::now());
      if (Left.count() <= 0)
        break;
      pollfd P{FFd, POLLIN, 0};
      if (::poll(&P, 1, int(Left.count())) <= 0)
        break;
      uint8_t Buf[4096];
      ssize_t R = ::recv(FFd, Buf, std::min(sizeof Buf, N - B.size()), 0);
      if (R <= 0)
        break;
      B.insert(B.end(), Buf, Buf + R);
    }
    return B;
  }
  bool Ok = false;

private:
  int FFd = -1;
};

} // namespace orlavonix::test
