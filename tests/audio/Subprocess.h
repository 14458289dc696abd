#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace orlavonix::test {

// A child process started with extra environment variables; its output may go
// to a file. The destructor kills one that is still running.
class TProcess {
public:
  TProcess(const std::vector<std::string>& Args, const std::map<std::string, std::string>& Env,
           const std::string& StdoutFile = "") {
    std::map<std::string, std::string> All;
    for (char** E = environ; *E; ++E) {
      std::string S(*E);
      auto Eq = S.find('=');
      if (Eq != std::string::npos)
        All[S.substr(0, Eq)] = S.substr(Eq + 1);
    }
    for (auto& [K, V] : Env)
      All[K] = V;
    std::vector<std::string> EnvText;
    for (auto& [K, V] : All)
      EnvText.push_back(K + "=" + V);
    std::vector<char*> Argv, Envp;
    for (auto& A : Args)
      Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    for (auto& E : EnvText)
      Envp.push_back(const_cast<char*>(E.c_str()));
    Envp.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    if (!StdoutFile.empty())
      posix_spawn_file_actions_addopen(&Actions, 1, StdoutFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawnp(&FPid, Argv[0], &Actions, nullptr, Argv.data(), Envp.data()) != 0)
      FPid = -1;
    posix_spawn_file_actions_destroy(&Actions);
  }
  ~TProcess() {
    if (Running())
      Kill();
  }
  bool Started() const { return FPid > 0; }
  bool Running() {
    if (FPid <= 0 || FStatus)
      return false;
    int S = 0;
    if (waitpid(FPid, &S, WNOHANG) == FPid) {
      FStatus = S;
      return false;
    }
    return true;
  }
  // The exit status, or nothing when the child is still running after Timeout.
  std::optional<int> Wait(std::chrono::milliseconds Timeout) {
    auto End = std::chrono::steady_clock::now() + Timeout;
    while (Running()) {
      if (std::chrono::steady_clock::now() >= End)
        return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!FStatus)
      return std::nullopt;
    return WIFEXITED(*FStatus) ? WEXITSTATUS(*FStatus) : 128 + WTERMSIG(*FStatus);
  }
  // Asks the child to end, then forces it after a second.
  void Kill() {
    if (!Running())
      return;
    ::kill(FPid, SIGTERM);
    if (!Wait(std::chrono::milliseconds(1000))) {
      ::kill(FPid, SIGKILL);
      Wait(std::chrono::milliseconds(5000));
    }
  }

private:
  pid_t FPid = -1;
  std::optional<int> FStatus;
};

} // namespace orlavonix::test
