// A stand-in for the program's start-up around the single-instance lock and
// the command socket, driven by the two-process tests. The lock and socket
// paths come from ORLAVONIX_TEST_LOCK and ORLAVONIX_TEST_SOCKET so that tests
// never touch the fixed paths of a real running copy.
//
//   serve            own the lock, serve the socket, print "GOT <request>"
//                    for each request, reply "OK", end on "QUIT"
//   start ARGS...    what a program start does: print "OWNER" when this copy
//                    owns the lock, else forward ARGS to the running copy
//   request TEXT     send one request, print "REPLY <text>" or "NOREPLY"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "integration/SocketCom.h"
#include "integration/SyncCall.h"
#include "integration/UiLoop.h"

using namespace orlavonix;

int main(int argc, char** argv) {
  const char* LockPath = std::getenv("ORLAVONIX_TEST_LOCK");
  const char* SocketPath = std::getenv("ORLAVONIX_TEST_SOCKET");
  if (!LockPath || !SocketPath || argc < 2)
    return 2;
  std::string Mode = argv[1];
  std::vector<std::string> Args(argv + 2, argv + argc);

  if (Mode == "request") {
    auto Reply = SendSocketRequest(Args.empty() ? "" : Args[0], SocketPath);
    std::printf(Reply ? "REPLY %s\n" : "NOREPLY\n", Reply ? Reply->c_str() : "");
    return 0;
  }

  TInstanceLock Lock(LockPath, SocketPath);
  if (Mode == "start") {
    if (CheckSingleInstance(Lock, Args)) {
      std::printf("OWNER\n");
      return 5;
    }
    return 0;
  }
  if (Mode != "serve")
    return 2;
  if (!Lock.OwnsLock()) {
    std::printf("NOT OWNER\n");
    return 3;
  }
  TUiLoop Loop;
  TSyncCallRoad Road([&] { Loop.Post([&] { Road.RunPending(); }); });
  TThread::SetSyncDispatcher(Road.Dispatcher());
  bool Quit = false;
  {
    TSocketCom Server(
        [&](const std::string& Command) {
          std::printf("GOT %s\n", Command.c_str());
          std::fflush(stdout);
          if (Command == "QUIT")
            Quit = true;
          return std::string("OK");
        },
        SocketPath);
    if (!Server.WaitListening(std::chrono::seconds(10))) {
      std::printf("NOLISTEN\n");
      return 4;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    Loop.RunUntil([&] { return Quit; }, std::chrono::seconds(120));
    Road.Shutdown();
  }
  TThread::SetSyncDispatcher(nullptr);
  return Quit ? 0 : 6;
}
