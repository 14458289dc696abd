#pragma once

#include <cerrno>
#include <chrono>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orlavonix::test {

// Waits up to Timeout for a child to end and returns its wait status, or
// nothing (after killing and reaping it) when it did not end in time.
inline std::optional<int> WaitChild(pid_t Pid, std::chrono::milliseconds Timeout) {
  int PidFd = static_cast<int>(::syscall(SYS_pidfd_open, Pid, 0));
  if (PidFd >= 0) {
    pollfd P{PidFd, POLLIN, 0};
    int R;
    do
      R = ::poll(&P, 1, static_cast<int>(Timeout.count()));
    while (R < 0 && errno == EINTR);
    ::close(PidFd);
    if (R == 0) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
      return std::nullopt;
    }
  }
  int Status = 0;
  while (::waitpid(Pid, &Status, 0) < 0)
    if (errno != EINTR)
      return std::nullopt;
  return Status;
}

// Runs Body in a forked child and returns its exit code (-1 when it crashed
// or did not end in time). Body runs in a copy of this process: keep it to
// plain calls, and let it return the code.
template <typename Fn>
int RunInChild(Fn&& Body, std::chrono::milliseconds Timeout = std::chrono::seconds(20)) {
  pid_t Pid = ::fork();
  if (Pid < 0)
    return -1;
  if (Pid == 0) {
    int Code = 99;
    try {
      Code = Body();
    } catch (...) {
      Code = 98;
    }
    ::_exit(Code);
  }
  auto Status = WaitChild(Pid, Timeout);
  if (!Status || !WIFEXITED(*Status))
    return -1;
  return WEXITSTATUS(*Status);
}

} // namespace orlavonix::test
