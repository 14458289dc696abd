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

#include <fcntl.h>
#include <grp.h>
#include <string>
#include <vector>

namespace orlavonix::test {

// A program started with its standard output on a pipe, optionally under
// another user. Killed and reaped at destruction if still running.
class TChildProcess {
public:
  TChildProcess(const std::vector<std::string>& Argv, const std::vector<std::string>& Env = {},
                std::optional<uid_t> Uid = std::nullopt, std::optional<gid_t> Gid = std::nullopt) {
    int P[2];
    if (::pipe2(P, O_CLOEXEC) != 0)
      return;
    std::vector<char*> A;
    for (auto& S : Argv)
      A.push_back(const_cast<char*>(S.c_str()));
    A.push_back(nullptr);
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(P[1], 1);
      for (auto& E : Env)
        ::putenv(const_cast<char*>(E.c_str()));
      if (Gid && (::setgroups(0, nullptr) != 0 || ::setgid(*Gid) != 0))
        ::_exit(120);
      if (Uid && ::setuid(*Uid) != 0)
        ::_exit(121);
      ::execv(A[0], A.data());
      ::_exit(127);
    }
    ::close(P[1]);
    FOut = P[0];
  }
  ~TChildProcess() {
    if (FPid > 0 && !FReaped) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    if (FOut >= 0)
      ::close(FOut);
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return FPid > 0; }
  pid_t Pid() const { return FPid; }

  // The next line of output without its line break, or nothing when none
  // came within Timeout or the output ended.
  std::optional<std::string> ReadLine(std::chrono::milliseconds Timeout) {
    auto Deadline = std::chrono::steady_clock::now() + Timeout;
    for (;;) {
      auto Nl = FBuffered.find('\n');
      if (Nl != std::string::npos) {
        std::string Line = FBuffered.substr(0, Nl);
        FBuffered.erase(0, Nl + 1);
        return Line;
      }
      auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
          Deadline - std::chrono::steady_clock::now());
      if (Left.count() <= 0)
        return std::nullopt;
      pollfd Pf{FOut, POLLIN, 0};
      int R = ::poll(&Pf, 1, static_cast<int>(Left.count()));
      if (R < 0 && errno == EINTR)
        continue;
      if (R <= 0)
        return std::nullopt;
      char Buf[4096];
      ssize_t N = ::read(FOut, Buf, sizeof Buf);
      if (N <= 0)
        return std::nullopt;
      FBuffered.append(Buf, static_cast<size_t>(N));
    }
  }

  // The rest of the output up to its end, within Timeout.
  std::vector<std::string> ReadAllLines(std::chrono::milliseconds Timeout) {
    std::vector<std::string> Lines;
    while (auto L = ReadLine(Timeout))
      Lines.push_back(*L);
    return Lines;
  }

  // The exit code, or -1 when the program crashed or did not end in time.
  int Wait(std::chrono::milliseconds Timeout) {
    if (!FReaped) {
      FStatus = WaitChild(FPid, Timeout);
      FReaped = true; // WaitChild reaps, also when it had to kill
    }
    if (!FStatus || !WIFEXITED(*FStatus))
      return -1;
    return WEXITSTATUS(*FStatus);
  }

private:
  pid_t FPid = -1;
  int FOut = -1;
  std::string FBuffered;
  std::optional<int> FStatus;
  bool FReaped = false;
};

} // namespace orlavonix::test
