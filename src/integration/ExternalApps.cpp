#include "integration/ExternalApps.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orlavonix {

namespace {

// Marks every descriptor from 3 up as close-on-exec. Only calls that are safe
// between fork and exec in a threaded process.
void MarkDescriptorsCloseOnExec() {
  if (::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) == 0)
    return;
  long Max = ::sysconf(_SC_OPEN_MAX);
  for (long Fd = 3; Fd < Max; ++Fd)
    ::fcntl(static_cast<int>(Fd), F_SETFD, FD_CLOEXEC);
}

int WaitStatus(pid_t Pid) {
  int Status = 0;
  while (::waitpid(Pid, &Status, 0) < 0)
    if (errno != EINTR)
      return 0;
  return Status;
}

} // namespace

bool FindInPath(const std::string& Name) {
  const char* Path = std::getenv("PATH");
  if (!Path)
    return false;
  std::string All = Path;
  size_t Start = 0;
  for (;;) {
    size_t End = All.find(':', Start);
    std::string Entry =
        All.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
    std::string Candidate;
    if (!Entry.empty() && Entry[0] == '~') {
      const char* Home = std::getenv("HOME");
      Candidate = Home ? Home : ".";
      Entry.erase(0, 1);
    }
    if (Entry.size() >= 2)
      Candidate += Entry + "/";
    Candidate += "./" + Name;
    struct stat St {};
    if (::access(Candidate.c_str(), X_OK) == 0 && ::stat(Candidate.c_str(), &St) == 0 &&
        S_ISREG(St.st_mode))
      return true;
    if (End == std::string::npos)
      return false;
    Start = End + 1;
  }
}

int32_t RunProgram(const std::string& Program, bool Wait, const std::vector<std::string>& Args) {
  std::vector<std::string> Owned;
  Owned.reserve(Args.size() + 1);
  Owned.push_back(Program);
  Owned.insert(Owned.end(), Args.begin(), Args.end());
  std::vector<char*> Argv;
  for (auto& A : Owned)
    Argv.push_back(A.data());
  Argv.push_back(nullptr);

  pid_t Pid = ::fork();
  if (Pid < 0)
    return 0;
  if (Pid == 0) {
    if (!Wait) {
      // The program runs in a grandchild that init adopts, so a program the
      // client never waits for does not stay behind as a zombie.
      pid_t Grandchild = ::fork();
      if (Grandchild != 0)
        ::_exit(0);
    }
    MarkDescriptorsCloseOnExec();
    ::execvp(Argv[0], Argv.data());
    ::_exit(127);
  }
  int Status = WaitStatus(Pid);
  return Wait ? Status : 0;
}

int32_t OpenURL(const std::string& URL) {
  const std::string Title = "\"Web Browser\"";
  struct TBrowser {
    const char* LookFor;
    const char* Program;
    std::vector<std::string> Args;
  };
  const TBrowser Browsers[] = {
      {"mozilla", "mozilla", {URL}},
      {"opera", "opera", {"-newwindow", URL}},
      {"netscape", "netscape", {"-remote", "'openURL(" + URL + ",new-window)'"}},
      {"konqueror", "konqueror", {URL}},
      {"gnome-moz-remote", "gnome-moz-remote", {"--newwin", URL}},
      {"links", "xterm", {"-T", Title, "-e", "links", URL}},
      {"lynx", "xterm", {"-T", Title, "-e", "lynx", URL}},
  };
  for (const auto& B : Browsers)
    if (FindInPath(B.LookFor))
      return RunProgram(B.Program, false, B.Args);
  return -1;
}

} // namespace orlavonix
