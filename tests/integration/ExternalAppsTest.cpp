#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "../config/ConfigTestSupport.h"
#include "integration/ExternalApps.h"

using namespace orlavonix;
using namespace orlavonix::test;
namespace fs = std::filesystem;

namespace {

// Sets an environment variable for one scope.
class TEnvScope {
public:
  TEnvScope(const char* Name, const std::string& Value) : FName(Name) {
    if (const char* Old = std::getenv(Name))
      FOld = Old;
    ::setenv(Name, Value.c_str(), 1);
  }
  ~TEnvScope() {
    if (FOld)
      ::setenv(FName, FOld->c_str(), 1);
    else
      ::unsetenv(FName);
  }

private:
  const char* FName;
  std::optional<std::string> FOld;
};

// A folder of stand-in programs; each one writes its name and arguments,
// one per line, into a pipe the test reads with a time-out.
class Browsers : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
    FRead = ::open(Fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(FRead, 0);
  }
  void TearDown() override { ::close(FRead); }

  void Install(const std::string& Name, fs::perms Perms = fs::perms::owner_all) {
    auto P = Bin / Name;
    std::ofstream(P) << "#!/bin/sh\nprintf '%s\\n' \"${0##*/}\" \"$@\" > " << Fifo.string() << "\n";
    fs::permissions(P, Perms);
  }
  // The lines one started program wrote, or nothing within ten seconds.
  std::vector<std::string> Started() {
    std::string Text;
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool Opened = false;
    for (;;) {
      auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      Deadline - std::chrono::steady_clock::now())
                      .count();
      if (Left <= 0)
        break;
      pollfd P{FRead, POLLIN, 0};
      if (::poll(&P, 1, static_cast<int>(Left)) <= 0)
        break;
      char Buf[512];
      ssize_t N = ::read(FRead, Buf, sizeof Buf);
      if (N > 0) {
        Text.append(Buf, static_cast<size_t>(N));
        Opened = true;
      } else if (N == 0 && Opened) {
        break; // the writer closed
      }
    }
    std::vector<std::string> Lines;
    size_t At = 0;
    for (size_t Nl; (Nl = Text.find('\n', At)) != std::string::npos; At = Nl + 1)
      Lines.push_back(Text.substr(At, Nl - At));
    return Lines;
  }

  TTempDir Dir;
  fs::path Bin = [this] {
    fs::create_directory(Dir / "bin");
    return Dir / "bin";
  }();
  fs::path Fifo = Dir / "started";
  int FRead = -1;
};

TEST_F(Browsers, TheFirstBrowserFoundIsStartedWithItsArguments) {
  Install("opera");
  Install("konqueror");
  TEnvScope Path("PATH", Bin.string());
  EXPECT_EQ(OpenURL("http://example.org/a b"), 0);
  EXPECT_EQ(Started(), (std::vector<std::string>{"opera", "-newwindow", "http://example.org/a b"}));
}

TEST_F(Browsers, RowsAndTheirArguments) {
  struct TCase {
    const char* Installed;
    std::vector<std::string> Expected;
  };
  const std::string U = "http://h/";
  const std::vector<TCase> Cases = {
      {"mozilla", {"mozilla", U}},
      {"netscape", {"netscape", "-remote", "'openURL(" + U + ",new-window)'"}},
      {"gnome-moz-remote", {"gnome-moz-remote", "--newwin", U}},
      {"links", {"xterm", "-T", "\"Web Browser\"", "-e", "links", U}},
      {"lynx", {"xterm", "-T", "\"Web Browser\"", "-e", "lynx", U}},
  };
  Install("xterm");
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Installed);
    Install(C.Installed);
    TEnvScope Path("PATH", Bin.string());
    EXPECT_EQ(OpenURL(U), 0);
    EXPECT_EQ(Started(), C.Expected);
    fs::remove(Bin / C.Installed);
  }
}

TEST_F(Browsers, FoldersAndFilesThatCannotRunAreSkipped) {
  fs::create_directory(Bin / "mozilla");
  Install("opera", fs::perms::owner_read | fs::perms::owner_write);
  TEnvScope Path("PATH", Bin.string());
  if (::getuid() != 0) {
    EXPECT_FALSE(FindInPath("opera"));
  }
  EXPECT_FALSE(FindInPath("mozilla"));
  Install("konqueror");
  EXPECT_EQ(OpenURL("u"), 0);
  EXPECT_EQ(Started(), (std::vector<std::string>{"konqueror", "u"}));
}

TEST_F(Browsers, NoBrowserGivesMinusOneAndAMissingTerminalStillZero) {
  {
    TEnvScope Path("PATH", Bin.string());
    EXPECT_EQ(OpenURL("u"), -1);
    Install("lynx"); // xterm itself is not looked for
    EXPECT_EQ(OpenURL("u"), 0);
  }
  TEnvScope Path("PATH", "");
  ::unsetenv("PATH"); // restored at the end of the scope
  EXPECT_FALSE(FindInPath("sh"));
}

TEST(FindInPath, CandidatesFollowTheEntryRules) {
  TTempDir Home;
  fs::create_directories(Home / "bin");
  std::ofstream(Home / "bin" / "tool") << "#!/bin/sh\n";
  fs::permissions(Home / "bin" / "tool", fs::perms::owner_all);
  TEnvScope H("HOME", Home.Path().string());
  {
    TEnvScope P("PATH", "/nonexistent:~/bin");
    EXPECT_TRUE(FindInPath("tool")) << "tilde entry: HOME/bin/./tool";
  }
  {
    TEnvScope P("PATH", (Home / "bin").string() + "/");
    EXPECT_TRUE(FindInPath("tool"));
  }
  // A one-character entry looks in the current folder.
  auto Old = fs::current_path();
  fs::current_path(Home / "bin");
  {
    TEnvScope P("PATH", "/");
    EXPECT_TRUE(FindInPath("tool"));
  }
  fs::current_path(Old);
  TEnvScope P("PATH", "/");
  EXPECT_FALSE(FindInPath("tool"));
}

TEST(RunProgram, TheChildInheritsOnlyTheStandardDescriptors) {
  int Fd = ::open("/dev/null", O_RDONLY); // deliberately inheritable
  ASSERT_GE(Fd, 3);
  std::string Check = "[ -e /proc/$$/fd/" + std::to_string(Fd) + " ] && exit 3; exit 4";
  int Status = RunProgram("sh", true, {"-c", Check});
  ::close(Fd);
  ASSERT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(WEXITSTATUS(Status), 4);
  Status = RunProgram("/nonexistent/program", true, {});
  ASSERT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(WEXITSTATUS(Status), 127);
  EXPECT_EQ(RunProgram("/nonexistent/program", false, {}), 0);
  // Without waiting, no child of ours is left to reap.
  EXPECT_EQ(RunProgram("true", false, {}), 0);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

} // namespace
