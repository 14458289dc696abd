#pragma once

// A debug log that keeps its lines in memory, for tests that check what a
// component wrote.
#include <mutex>
#include <string>
#include <vector>

#include "protocol/logdebug.h"

namespace orlavonix::test {

class TCaptureLog : public TNullLog {
public:
  TCaptureLog() { SetOptions(LogSet({lkDebug, lkWarning, lkError}), 0xFF); }
  void WriteLine(std::string_view Text, std::string_view Context, TLogKind, TLogLevel) override {
    std::lock_guard<std::mutex> G(FLock);
    FLines.push_back(std::string(Context) + " | " + std::string(Text));
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> G(FLock);
    return FLines;
  }

private:
  std::mutex FLock;
  std::vector<std::string> FLines;
};

} // namespace orlavonix::test
