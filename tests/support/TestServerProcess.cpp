#include "support/TestServerProcess.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orlavonix::testing {

namespace {
using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point Deadline) {
  auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
  return Left.count() > 0 ? static_cast<int>(Left.count()) : 0;
}

std::string TempName(const char* Stem) {
  char Name[128];
  std::snprintf(Name, sizeof Name, "/tmp/orlavonix-%s-%d-XXXXXX", Stem, getpid());
  int Fd = mkstemp(Name);
  if (Fd >= 0)
    close(Fd);
  return Name;
}

bool ParsePort(const std::string& Line, const std::string& Key, uint16_t& Port) {
  auto At = Line.find(Key + "=");
  if (At == std::string::npos)
    return false;
  auto Colon = Line.find(':', At);
  if (Colon == std::string::npos)
    return false;
  Port = static_cast<uint16_t>(std::atoi(Line.c_str() + Colon + 1));
  return Port != 0;
}
} // namespace

TTestServerProcess::TTestServerProcess(std::vector<std::string> Args, std::string ConfigJson)
    : FArgs(std::move(Args)), FConfigJson(std::move(ConfigJson)) {}

TTestServerProcess::~TTestServerProcess() {
  Stop();
  if (!FConfigFile.empty())
    unlink(FConfigFile.c_str());
  if (!FStderrFile.empty())
    unlink(FStderrFile.c_str());
}

bool TTestServerProcess::Start(int TimeoutMs) {
  std::vector<std::string> Argv = {
      "python3",        std::string(ORLAVONIX_SOURCE_DIR) + "/testserver/server.py",
      "--port",         "0",
      "--control-port", "0"};
  if (!FConfigJson.empty()) {
    FConfigFile = TempName("config");
    std::ofstream(FConfigFile) << FConfigJson;
    Argv.push_back("--config");
    Argv.push_back(FConfigFile);
  }
  Argv.insert(Argv.end(), FArgs.begin(), FArgs.end());
  FStderrFile = TempName("stderr");
  int Pipe[2];
  if (pipe2(Pipe, O_CLOEXEC) != 0) {
    FError = "pipe failed";
    return false;
  }
  pid_t Pid = fork();
  if (Pid < 0) {
    FError = "fork failed";
    return false;
  }
  if (Pid == 0) {
    dup2(Pipe[1], 1);
    int Err = open(FStderrFile.c_str(), O_WRONLY | O_TRUNC);
    if (Err >= 0)
      dup2(Err, 2);
    std::vector<char*> P;
    for (auto& A : Argv)
      P.push_back(A.data());
    P.push_back(nullptr);
    execvp(P[0], P.data());
    _exit(127);
  }
  close(Pipe[1]);
  FPid = Pid;
  FStdout = Pipe[0];
  const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  std::string Buffer;
  for (;;) {
    auto Nl = Buffer.find('\n');
    while (Nl != std::string::npos) {
      std::string Line = Buffer.substr(0, Nl);
      Buffer.erase(0, Nl + 1);
      if (Line.rfind("READY", 0) == 0) {
        if (!ParsePort(Line, "udp", FUdpPort) || !ParsePort(Line, "control", FControlPort)) {
          FError = "unreadable READY line: " + Line;
          return false;
        }
        return true;
      }
      Nl = Buffer.find('\n');
    }
    int Left = MsLeft(Deadline);
    if (Left == 0) {
      FError = "no READY line in time";
      return false;
    }
    pollfd Fd{FStdout, POLLIN, 0};
    if (poll(&Fd, 1, Left) <= 0)
      continue;
    char Chunk[512];
    ssize_t N = read(FStdout, Chunk, sizeof Chunk);
    if (N <= 0) {
      FError = "server ended before READY: " + Diagnostics();
      return false;
    }
    Buffer.append(Chunk, static_cast<size_t>(N));
  }
}

bool TTestServerProcess::WaitExit(int TimeoutMs) {
  if (FPid <= 0)
    return true;
  const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  do {
    int Status;
    if (waitpid(FPid, &Status, WNOHANG) == FPid) {
      FPid = -1;
      if (FStdout >= 0)
        close(FStdout);
      FStdout = -1;
      return true;
    }
    pollfd None{-1, 0, 0};
    poll(&None, 0, 20); // a bounded pause between checks of the child
  } while (MsLeft(Deadline) > 0);
  return false;
}

void TTestServerProcess::Stop(int TimeoutMs) {
  if (FPid <= 0)
    return;
  kill(FPid, SIGTERM);
  if (!WaitExit(TimeoutMs)) {
    kill(FPid, SIGKILL);
    WaitExit(5000);
  }
}

std::string TTestServerProcess::Diagnostics() const {
  std::ifstream In(FStderrFile);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

std::string TTestServerProcess::Control(const std::string& Request, int TimeoutMs) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Fd < 0)
    return "";
  sockaddr_in To{};
  To.sin_family = AF_INET;
  To.sin_port = htons(FControlPort);
  To.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string Reply;
  if (connect(Fd, reinterpret_cast<sockaddr*>(&To), sizeof To) == 0) {
    std::string Line = Request + "\n";
    if (send(Fd, Line.data(), Line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(Line.size())) {
      std::string Buffer;
      while (Buffer.find('\n') == std::string::npos) {
        pollfd P{Fd, POLLIN, 0};
        int Left = MsLeft(Deadline);
        if (Left == 0 || poll(&P, 1, Left) <= 0)
          break;
        char Chunk[4096];
        ssize_t N = recv(Fd, Chunk, sizeof Chunk, 0);
        if (N <= 0)
          break;
        Buffer.append(Chunk, static_cast<size_t>(N));
      }
      auto Nl = Buffer.find('\n');
      if (Nl != std::string::npos)
        Reply = Buffer.substr(0, Nl);
    }
  }
  close(Fd);
  return Reply;
}

bool JsonNumber(const std::string& Json, const std::string& Key, int64_t& Value) {
  auto At = Json.find("\"" + Key + "\":");
  if (At == std::string::npos)
    return false;
  At += Key.size() + 3;
  while (At < Json.size() && Json[At] == ' ')
    ++At;
  char* End = nullptr;
  long long V = std::strtoll(Json.c_str() + At, &End, 10);
  if (End == Json.c_str() + At)
    return false;
  Value = V;
  return true;
}

bool JsonBool(const std::string& Json, const std::string& Key, bool& Value) {
  auto At = Json.find("\"" + Key + "\":");
  if (At == std::string::npos)
    return false;
  At += Key.size() + 3;
  while (At < Json.size() && Json[At] == ' ')
    ++At;
  if (Json.compare(At, 4, "true") == 0)
    Value = true;
  else if (Json.compare(At, 5, "false") == 0)
    Value = false;
  else
    return false;
  return true;
}

} // namespace orlavonix::testing
