#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

#include "../config/ConfigTestSupport.h"
#include "base/Bytes.h"
#include "integration/SocketCom.h"
#include "integration/SyncCall.h"
#include "integration/UiLoop.h"
#include "support/ChildProcess.h"

using namespace orlavonix;
using namespace orlavonix::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr uid_t NobodyId = 65534;

int ConnectTo(const fs::path& Path) {
  int S = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un A{};
  A.sun_family = AF_UNIX;
  std::strncpy(A.sun_path, Path.c_str(), sizeof A.sun_path - 1);
  if (::connect(S, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
    ::close(S);
    return -1;
  }
  return S;
}

// Whether the server closed the connection without sending a byte.
bool ClosedWithoutReply(int S) {
  pollfd P{S, POLLIN, 0};
  if (::poll(&P, 1, 5000) != 1)
    return false;
  char C;
  return ::recv(S, &C, 1, 0) == 0;
}

std::vector<uint8_t> Length(uint32_t N) {
  std::vector<uint8_t> B(4);
  PutLE<uint32_t>(B.data(), N);
  return B;
}
std::vector<uint8_t> Cat(std::vector<uint8_t> A, std::string_view B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

// A server in this process: the test thread is the user-interface thread.
class SocketComServer : public ::testing::Test {
protected:
  void SetUp() override {
    TThread::SetSyncDispatcher(Road.Dispatcher());
    Server = std::make_unique<TSocketCom>(
        [this](const std::string& C) {
          EXPECT_TRUE(Road.IsUiThread());
          Commands.push_back(C);
          return "reply to " + C.substr(0, 100);
        },
        SocketPath.string());
    ASSERT_TRUE(Server->WaitListening(10s));
  }
  void TearDown() override {
    Road.Shutdown();
    Server.reset();
    TThread::SetSyncDispatcher(nullptr);
  }
  // Sends a request from another thread while this thread serves.
  std::optional<std::string> Request(const std::string& Text) {
    std::optional<std::string> Reply;
    std::atomic<bool> Done{false};
    std::thread Client([&] {
      Reply = SendSocketRequest(Text, SocketPath);
      Done = true;
      Loop.Post([] {}); // lets the loop look at Done again
    });
    EXPECT_TRUE(Loop.RunUntil([&] { return Done.load(); }, 20s));
    Client.join();
    return Reply;
  }

  TTempDir Dir;
  fs::path SocketPath = Dir / "cmd.sock";
  TUiLoop Loop;
  TSyncCallRoad Road{[this] { Loop.Post([this] { Road.RunPending(); }); }};
  std::unique_ptr<TSocketCom> Server;
  std::vector<std::string> Commands;
};

TEST_F(SocketComServer, AnswersRequestsOnTheUiThreadAndOnlyItsOwnerMayConnect) {
  struct stat St {};
  ASSERT_EQ(::stat(SocketPath.c_str(), &St), 0);
  EXPECT_TRUE(S_ISSOCK(St.st_mode));
  EXPECT_EQ(St.st_mode & 0777, 0600u);

  EXPECT_EQ(Request("GET_VERSION"), "reply to GET_VERSION");
  EXPECT_EQ(Request(""), "reply to ");
  std::string Big(SocketComMaxBody - 1, 'x');
  EXPECT_EQ(Request(Big), "reply to " + Big.substr(0, 100)) << "the largest request that fits";
  ASSERT_EQ(Commands.size(), 3u);
  EXPECT_EQ(Commands[0], "GET_VERSION");
  EXPECT_EQ(Commands[1], "");
  EXPECT_TRUE(Commands[2] == Big) << "the large request arrived whole";
}

TEST_F(SocketComServer, BadRequestsAreClosedWithoutReplyAndServingGoesOn) {
  struct TCase {
    const char* What;
    std::vector<uint8_t> Bytes;
  };
  const std::vector<TCase> Cases = {
      {"nothing", {}},
      {"two length bytes", {4, 0}},
      {"length only", Length(6)},
      {"fewer bytes than announced", Cat(Length(10), std::string("abcde\0", 6))},
      {"more bytes than announced", Cat(Length(3), std::string("abcde\0", 6))},
      {"announces more than fits", Cat(Length(70000), std::string(100, 'a'))},
      {"zero length", Cat(Length(0), std::string("a\0", 2))},
      {"not terminated", Cat(Length(5), "abcde")},
      {"zero inside the text", Cat(Length(6), std::string("ab\0de\0", 6))},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.What);
    int S = ConnectTo(SocketPath);
    ASSERT_GE(S, 0);
    if (!C.Bytes.empty()) {
      ASSERT_EQ(::send(S, C.Bytes.data(), C.Bytes.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(C.Bytes.size()));
    }
    EXPECT_TRUE(ClosedWithoutReply(S));
    ::close(S);
  }
  // A request split so that its body arrives after the server's wait.
  int S = ConnectTo(SocketPath);
  ASSERT_GE(S, 0);
  auto L = Length(6);
  ASSERT_EQ(::send(S, L.data(), 4, MSG_NOSIGNAL), 4);
  EXPECT_TRUE(ClosedWithoutReply(S)) << "slow body";
  ::close(S);

  Loop.ProcessPending();
  EXPECT_TRUE(Commands.empty());
  EXPECT_EQ(Request("FOREGROUND"), "reply to FOREGROUND");
}

TEST(InstanceLock, OneOwnerStaleSocketRemovedLockFileDeletedAtEnd) {
  TTempDir Dir;
  auto LockPath = Dir / "lock", SocketPath = Dir / "sock";
  WriteFileBytes(SocketPath, {1, 2, 3});
  {
    TInstanceLock First(LockPath, SocketPath);
    EXPECT_TRUE(First.OwnsLock());
    EXPECT_FALSE(fs::exists(SocketPath)) << "a left-over socket file is removed";
    TInstanceLock Second(LockPath, SocketPath);
    EXPECT_FALSE(Second.OwnsLock());
    EXPECT_TRUE(fs::exists(LockPath));
  }
  EXPECT_FALSE(fs::exists(LockPath)) << "the owner deletes the lock file";
}

TEST(InstanceLock, ALinkOrPipeAtTheLockPathIsNeverFollowed) {
  TTempDir Dir;
  auto Target = Dir / "target", LockPath = Dir / "lock";
  WriteFileBytes(Target, {'k', 'e', 'e', 'p'});
  fs::create_symlink(Target, LockPath);
  {
    TInstanceLock L(LockPath, Dir / "sock");
    EXPECT_FALSE(L.OwnsLock());
  }
  EXPECT_EQ(ReadFileBytes(Target), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_TRUE(fs::is_symlink(LockPath));

  auto Fifo = Dir / "fifo";
  ASSERT_EQ(::mkfifo(Fifo.c_str(), 0666), 0);
  TInstanceLock L(Fifo, Dir / "sock"); // must not block
  EXPECT_FALSE(L.OwnsLock());
}

TEST(InstanceLock, ACopyKilledWithoutCleanUpDoesNotStopTheNextStart) {
  TTempDir Dir;
  auto LockPath = Dir / "lock", SocketPath = Dir / "sock";
  int P[2];
  ASSERT_EQ(::pipe(P), 0);
  pid_t Pid = ::fork();
  if (Pid == 0) {
    TInstanceLock L(LockPath, SocketPath);
    WriteFileBytes(SocketPath, {1});
    char C = L.OwnsLock() ? 'y' : 'n';
    (void)!::write(P[1], &C, 1);
    ::pause();
    ::_exit(0);
  }
  ::close(P[1]);
  char C = 0;
  ASSERT_EQ(::read(P[0], &C, 1), 1);
  ::close(P[0]);
  EXPECT_EQ(C, 'y');
  {
    TInstanceLock While(LockPath, SocketPath);
    EXPECT_FALSE(While.OwnsLock());
  }
  ::kill(Pid, SIGKILL);
  ASSERT_TRUE(WaitChild(Pid, 10s));
  EXPECT_TRUE(fs::exists(LockPath));
  TInstanceLock Next(LockPath, SocketPath);
  EXPECT_TRUE(Next.OwnsLock());
  EXPECT_FALSE(fs::exists(SocketPath));
}

TEST(SocketRequest, NoRunningCopyIsSilent) {
  TTempDir Dir;
  EXPECT_FALSE(SendSocketRequest("FOREGROUND", (Dir / "none").string()));
  SendToRunningInstance("CONNECT x", (Dir / "none").string());
}

// Separate processes, as on a real machine: a first copy owns the lock and
// serves the socket; later copies forward their start-up parameters.
class TwoProcesses : public ::testing::Test {
protected:
  void SetUp() override {
    // The helper is copied where any user may run it.
    fs::permissions(Dir.Path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::copy_file(ORLAVONIX_INSTANCE_HELPER, Helper);
    fs::permissions(Helper, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    fs::create_directory(Run);
  }
  std::vector<std::string> Env() const {
    return {"ORLAVONIX_TEST_LOCK=" + (Run / "lock").string(),
            "ORLAVONIX_TEST_SOCKET=" + (Run / "sock").string()};
  }
  std::unique_ptr<TChildProcess> Spawn(std::vector<std::string> Args,
                                       std::optional<uid_t> As = std::nullopt) {
    Args.insert(Args.begin(), Helper.string());
    return std::make_unique<TChildProcess>(Args, Env(), As, As);
  }
  std::unique_ptr<TChildProcess> StartServer(std::optional<uid_t> As = std::nullopt) {
    auto S = Spawn({"serve"}, As);
    auto Ready = S->ReadLine(20s);
    EXPECT_EQ(Ready, "READY");
    return S;
  }
  void StopServer(TChildProcess& S) {
    auto Q = Spawn({"request", "QUIT"}, FServerUid);
    EXPECT_EQ(Q->ReadLine(10s), "REPLY OK");
    EXPECT_EQ(S.ReadLine(10s), "GOT QUIT");
    EXPECT_EQ(S.Wait(20s), 0);
  }
  static bool RunningAsRoot() { return ::getuid() == 0; }

  TTempDir Dir;
  fs::path Helper = Dir / "instance_helper";
  fs::path Run = Dir / "run";
  std::optional<uid_t> FServerUid;
};

TEST_F(TwoProcesses, ASecondCopyForwardsItsParametersAndEnds) {
  auto Server = StartServer();
  const std::string LockLine =
      "If orlavonix is not running, delete the file \"" + (Run / "lock").string() + "\"";
  struct TCase {
    std::vector<std::string> Args;
    const char* Forwarded; // null: nothing is sent
  } Cases[] = {
      {{"-x", "a", "b"}, "CONNECT a b"},
      {{}, "FOREGROUND"},
      {{"-x"}, nullptr},
      {{"orlavonix://h", "?nickname=n"}, "CONNECT orlavonix://h ?nickname=n"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(testing::PrintToString(C.Args));
    std::vector<std::string> Args = {"start"};
    Args.insert(Args.end(), C.Args.begin(), C.Args.end());
    auto Second = Spawn(Args);
    EXPECT_EQ(Second->ReadAllLines(10s),
              (std::vector<std::string>{"orlavonix is already running, redirecting startupinfo",
                                        LockLine}));
    EXPECT_EQ(Second->Wait(10s), 0);
    // The server handles requests in order, so a marker request shows
    // whether the second copy sent anything before it.
    auto Marker = Spawn({"request", "FOREGROUND marker"});
    EXPECT_EQ(Marker->ReadLine(10s), "REPLY OK");
    if (C.Forwarded) {
      EXPECT_EQ(Server->ReadLine(10s), std::string("GOT ") + C.Forwarded);
    }
    EXPECT_EQ(Server->ReadLine(10s), "GOT FOREGROUND marker");
  }
  StopServer(*Server);
  EXPECT_FALSE(fs::exists(Run / "lock"));
  EXPECT_FALSE(fs::exists(Run / "sock"));
  // With no copy running, the next start owns the lock.
  auto Alone = Spawn({"start", "-x", "a"});
  EXPECT_EQ(Alone->ReadLine(10s), "OWNER");
  EXPECT_EQ(Alone->Wait(10s), 5);
}

TEST_F(TwoProcesses, ACopyOfAnotherUserIsRefused) {
  if (!RunningAsRoot())
    GTEST_SKIP() << "needs root to run a process as another user";
  fs::permissions(Run, fs::perms::all | fs::perms::sticky_bit); // like /tmp
  auto Server = StartServer();
  // The other user's copy cannot take the lock, so it forwards; the socket
  // lets only its owner connect.
  auto Other = Spawn({"start", "-x", "c", "d"}, NobodyId);
  auto Lines = Other->ReadAllLines(10s);
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_EQ(Lines[0], "orlavonix is already running, redirecting startupinfo");
  EXPECT_EQ(Other->Wait(10s), 0);
  auto Direct = Spawn({"request", "CONNECT e"}, NobodyId);
  EXPECT_EQ(Direct->ReadLine(10s), "NOREPLY");
  auto Marker = Spawn({"request", "FOREGROUND marker"});
  EXPECT_EQ(Marker->ReadLine(10s), "REPLY OK");
  EXPECT_EQ(Server->ReadLine(10s), "GOT FOREGROUND marker") << "nothing of the other user ran";
  StopServer(*Server);
}

TEST_F(TwoProcesses, APeerOfAnotherUserIsRefusedEvenWhenItCanOpenTheSocket) {
  if (!RunningAsRoot())
    GTEST_SKIP() << "needs root to run a process as another user";
  // The server runs as nobody; root passes the file permissions but not the
  // peer check.
  ASSERT_EQ(::chown(Run.c_str(), NobodyId, NobodyId), 0);
  FServerUid = NobodyId;
  auto Server = StartServer(NobodyId);
  auto Root = Spawn({"request", "CONNECT evil"});
  EXPECT_EQ(Root->ReadLine(10s), "NOREPLY");
  auto Own = Spawn({"request", "FOREGROUND marker"}, NobodyId);
  EXPECT_EQ(Own->ReadLine(10s), "REPLY OK");
  EXPECT_EQ(Server->ReadLine(10s), "GOT FOREGROUND marker");
  StopServer(*Server);
}

} // namespace
