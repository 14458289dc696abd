#pragma once

// Runs one of the Python services of these tests as a child process and reads
// its standard output line by line, every wait bounded.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace orlavonix::test {

class TScriptProcess {
public:
  // Runs python3 with the script (a file of tests/web) and its arguments.
  TScriptProcess(const std::string& Script, const std::vector<std::string>& Args) {
    int Pipe[2];
    if (pipe2(Pipe, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    std::vector<std::string> Argv{"python3",
                                  std::string(ORLAVONIX_SOURCE_DIR) + "/tests/web/" + Script};
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    std::vector<char*> Ptrs;
    for (auto& A : Argv)
      Ptrs.push_back(A.data());
    Ptrs.push_back(nullptr);
    posix_spawn_file_actions_t Fa;
    posix_spawn_file_actions_init(&Fa);
    posix_spawn_file_actions_adddup2(&Fa, Pipe[1], 1);
    int Rc = posix_spawnp(&FPid, "python3", &Fa, nullptr, Ptrs.data(), environ);
    posix_spawn_file_actions_destroy(&Fa);
    close(Pipe[1]);
    FOut = Pipe[0];
    if (Rc != 0)
      throw std::runtime_error("cannot start python3");
  }

  ~TScriptProcess() {
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      if (!Reap(5000)) {
        kill(FPid, SIGKILL);
        Reap(5000);
      }
    }
    if (FOut >= 0)
      close(FOut);
  }

  TScriptProcess(const TScriptProcess&) = delete;
  TScriptProcess& operator=(const TScriptProcess&) = delete;

  // The next line of output (without its break), or none after TimeoutMs or
  // at the end of the output.
  std::optional<std::string> ReadLine(int TimeoutMs) {
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
      size_t Nl = FBuffer.find('\n');
      if (Nl != std::string::npos) {
        std::string Line = FBuffer.substr(0, Nl);
        FBuffer.erase(0, Nl + 1);
        return Line;
      }
      auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
          Deadline - std::chrono::steady_clock::now());
      if (Left.count() <= 0)
        return std::nullopt;
      pollfd P{FOut, POLLIN, 0};
      if (poll(&P, 1, static_cast<int>(Left.count())) <= 0)
        return std::nullopt;
      char Buf[4096];
      ssize_t N = read(FOut, Buf, sizeof Buf);
      if (N <= 0)
        return std::nullopt;
      FBuffer.append(Buf, static_cast<size_t>(N));
    }
  }

  // Waits for "READY <port>"; throws with the service's own words otherwise.
  int WaitReady(int TimeoutMs = 10000) {
    auto Line = ReadLine(TimeoutMs);
    if (!Line)
      throw std::runtime_error("service did not report READY within the time limit");
    if (Line->rfind("READY ", 0) != 0)
      throw std::runtime_error("service failed to start: " + *Line);
    FPort = std::stoi(Line->substr(6));
    return FPort;
  }

  int Port() const { return FPort; }

private:
  bool Reap(int TimeoutMs) {
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (std::chrono::steady_clock::now() < Deadline) {
      int Status;
      if (waitpid(FPid, &Status, WNOHANG) == FPid) {
        FPid = -1;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5)); // polling a bounded wait
    }
    return false;
  }

  pid_t FPid = -1;
  int FOut = -1;
  int FPort = 0;
  std::string FBuffer;
};

} // namespace orlavonix::test
