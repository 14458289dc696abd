#include "protocol/events.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "base/Exceptions.h"

namespace orlavonix {

TWindowsEvent::TWindowsEvent() {
  int Fds[2];
  if (pipe2(Fds, O_CLOEXEC) != 0)
    throw Exception("error creating pipe");
  FReadFd = Fds[0];
  FWriteFd = Fds[1];
}

TWindowsEvent::~TWindowsEvent() {
  close(FReadFd);
  close(FWriteFd);
}

void TWindowsEvent::SetEvent() {
  std::lock_guard<std::mutex> G(FLock);
  if (FSignalled)
    return;
  uint32_t Token = 1;
  ssize_t N;
  do
    N = write(FWriteFd, &Token, sizeof Token);
  while (N < 0 && errno == EINTR);
  FSignalled = true;
}

void TWindowsEvent::ResetEvent() {
  std::lock_guard<std::mutex> G(FLock);
  if (!FSignalled)
    return;
  uint32_t Token;
  ssize_t N;
  do
    N = read(FReadFd, &Token, sizeof Token);
  while (N < 0 && errno == EINTR);
  FSignalled = false;
}

TWaitResult TWindowsEvent::WaitFor(int Milliseconds) {
  pollfd P{FReadFd, POLLIN, 0};
  int R;
  do
    R = poll(&P, 1, Milliseconds < 0 ? -1 : Milliseconds);
  while (R < 0 && errno == EINTR);
  if (R == 0)
    return wrTimeout;
  if (R < 0 || P.revents != POLLIN)
    return wrError;
  ResetEvent();
  return wrSignaled;
}

} // namespace orlavonix
