#pragma once

#include <mutex>

namespace orlavonix {

enum TWaitResult { wrSignaled = 0, wrTimeout = 1, wrAbandoned = 2, wrError = 3 };

// A wake-up event with signal-once semantics: any number of SetEvent calls
// before a wait give one signalled wait. Backed by a pipe so that it can also
// be polled together with other descriptors.
class TWindowsEvent {
public:
  TWindowsEvent();
  ~TWindowsEvent();
  TWindowsEvent(const TWindowsEvent&) = delete;
  TWindowsEvent& operator=(const TWindowsEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  // -1 waits without limit.
  TWaitResult WaitFor(int Milliseconds);
  int ReadFd() const { return FReadFd; }

private:
  std::mutex FLock;
  int FReadFd = -1;
  int FWriteFd = -1;
  bool FSignalled = false;
};

} // namespace orlavonix
