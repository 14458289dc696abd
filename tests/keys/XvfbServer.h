#pragma once
// A private X server for tests: Xvfb on a display number it picks itself
// (-displayfd), started with a bounded wait and killed at the end.

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace orlavonix::test {

class TXvfbServer {
public:
  TXvfbServer() = default;
  ~TXvfbServer() { Stop(); }
  TXvfbServer(const TXvfbServer&) = delete;
  TXvfbServer& operator=(const TXvfbServer&) = delete;

  // Returns the display name (":N"), or an empty text with Error set.
  std::string Start(int TimeoutMs = 15000) {
    int Fds[2];
    if (pipe(Fds) != 0) {
      Error = "pipe failed";
      return {};
    }
    FPid = fork();
    if (FPid < 0) {
      Error = "fork failed";
      close(Fds[0]);
      close(Fds[1]);
      return {};
    }
    if (FPid == 0) {
      close(Fds[0]);
      int Null = open("/dev/null", O_WRONLY);
      if (Null >= 0) {
        dup2(Null, 1);
        dup2(Null, 2);
      }
      std::string Fd = std::to_string(Fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", Fd.c_str(), "-screen", "0", "320x240x24", "-nolisten",
             "tcp", "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(Fds[1]);
    std::string Number;
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (true) {
      auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      Deadline - std::chrono::steady_clock::now())
                      .count();
      if (Left <= 0) {
        Error = "Xvfb did not report a display in time";
        break;
      }
      pollfd P{Fds[0], POLLIN, 0};
      if (poll(&P, 1, static_cast<int>(Left)) <= 0)
        continue;
      char C;
      ssize_t N = read(Fds[0], &C, 1);
      if (N <= 0) {
        Error = "Xvfb ended before reporting a display";
        break;
      }
      if (C == '\n')
        break;
      Number += C;
    }
    close(Fds[0]);
    if (!Error.empty() || Number.empty()) {
      if (Error.empty())
        Error = "no display number";
      Stop();
      return {};
    }
    return ":" + Number;
  }

  void Stop() {
    if (FPid <= 0)
      return;
    kill(FPid, SIGTERM);
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int Status = 0;
    while (waitpid(FPid, &Status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > Deadline) {
        kill(FPid, SIGKILL);
        waitpid(FPid, &Status, 0);
        break;
      }
      // Polling a child's exit has no descriptor to wait on; keep it short.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    FPid = -1;
  }

  std::string Error;

private:
  pid_t FPid = -1;
};

} // namespace orlavonix::test
