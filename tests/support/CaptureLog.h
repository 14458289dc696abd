// A global log that keeps every line, for tests that check what was logged.
// Installed once per process and never replaced, so that worker threads never
// write to a freed log.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "protocol/logdebug.h"

namespace orlavonix::testing {

class TCaptureLog : public TNullLog {
public:
  TCaptureLog() { SetOptions(LogSet({lkAll}), LogSet({llAll})); }
  void WriteLine(std::string_view Text, std::string_view Context, TLogKind, TLogLevel) override {
    std::lock_guard<std::mutex> G(FLock);
    FLines.push_back(std::string(Context) + ": " + std::string(Text));
  }
  bool Contains(const std::string& Line) const {
    std::lock_guard<std::mutex> G(FLock);
    for (auto& L : FLines)
      if (L == Line)
        return true;
    return false;
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> G(FLock);
    return FLines;
  }
  void Clear() {
    std::lock_guard<std::mutex> G(FLock);
    FLines.clear();
  }

private:
  mutable std::mutex FLock;
  std::vector<std::string> FLines;
};

inline TCaptureLog& CaptureLog() {
  static TCaptureLog* Log = [] {
    auto L = std::make_unique<TCaptureLog>();
    TCaptureLog* Raw = L.get();
    SetGlobalLog(std::move(L));
    return Raw;
  }();
  return *Log;
}

} // namespace orlavonix::testing
