#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/Thread.h"

namespace orlavonix {

inline constexpr const char* InstanceLockPath = "/tmp/.lock_orlavonixclient";
inline constexpr const char* InstanceSocketPath = "/tmp/.orlavonixclient";
// Largest request or reply body, terminating zero included.
constexpr size_t SocketComMaxBody = 65535;

// The single-instance lock: a whole-file advisory lock on a fixed file, held
// for the life of the owner. Taking it removes a socket file left behind by
// a copy that died without cleaning up.
class TInstanceLock {
public:
  explicit TInstanceLock(std::string LockPath = InstanceLockPath,
                         std::string SocketPath = InstanceSocketPath);
  // When owned: releases the lock, closes the file and deletes it.
  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  bool OwnsLock() const { return FOwnsLock; }
  const std::string& LockPath() const { return FLockPath; }
  const std::string& SocketPath() const { return FSocketPath; }

private:
  std::string FLockPath;
  std::string FSocketPath;
  int FFd = -1;
  bool FOwnsLock = false;
};

// Whether this copy owns the lock. When not, tells the user on Out and hands
// the start-up parameters (arguments without the program name) to the
// running copy: "FOREGROUND" without parameters, otherwise "CONNECT " and
// the non-option arguments joined with blanks (nothing when all are options).
bool CheckSingleInstance(const TInstanceLock& Lock, const std::vector<std::string>& Args,
                         std::FILE* Out = stdout);

// One request to the running copy: its reply, or nothing on any failure or
// when no reply came within the time-out. Never raises.
std::optional<std::string>
SendSocketRequest(const std::string& Text, const std::string& SocketPath = InstanceSocketPath,
                  std::chrono::milliseconds ReplyTimeout = std::chrono::milliseconds(1000));
// The same with the reply dropped.
void SendToRunningInstance(const std::string& Text,
                           const std::string& SocketPath = InstanceSocketPath);

// The local command socket: serves one connection at a time, one request
// per connection. Each request runs through TThread::Synchronize on the
// user-interface thread while this thread waits. The socket file may only be
// used by its owner, and a peer of another user is refused.
class TSocketCom : public TThread {
public:
  // Runs on the user-interface thread: the reply to a request text.
  using TCommandHandler = std::function<std::string(const std::string& Command)>;

  explicit TSocketCom(TCommandHandler DoCommand, std::string SocketPath = InstanceSocketPath);
  // Stops the thread and waits for it: at most one poll interval plus a
  // request in progress. The synchronous road must still serve (or be shut
  // down) while this waits.
  ~TSocketCom() override;

  // Waits until the socket listens (true) or the server gave up (false).
  bool WaitListening(std::chrono::milliseconds Timeout);

protected:
  void Execute() override;

private:
  void ServeConnection(int Conn);
  void SetState(int State);

  TCommandHandler FDoCommand;
  std::string FSocketPath;
  std::vector<char> FBuffer;
  std::string FCommand;
  std::string FReply;
  std::mutex FStateLock;
  std::condition_variable FStateSignal;
  int FState = 0; // 0 starting, 1 listening, 2 ended
};

} // namespace orlavonix
