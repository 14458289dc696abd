#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/logdebug.h"

namespace orlavonix::test {

// Installs a global log that keeps "context|text" lines for inspection and
// restores an empty log afterwards.
class TCaptureLog : public TNullLog {
public:
  void WriteLine(std::string_view Text, std::string_view Context, TLogKind, TLogLevel) override {
    std::lock_guard<std::mutex> G(FLock);
    FLines.push_back(std::string(Context) + "|" + std::string(Text));
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> G(FLock);
    return FLines;
  }

private:
  std::mutex FLock;
  std::vector<std::string> FLines;
};

class TCaptureLogScope {
public:
  TCaptureLogScope() {
    auto L = std::make_unique<TCaptureLog>();
    L->SetOptions(0xFF, 0xFF);
    FLog = L.get();
    SetGlobalLog(std::move(L));
  }
  ~TCaptureLogScope() { SetGlobalLog(std::make_unique<TNullLog>()); }
  std::vector<std::string> Lines() { return FLog->Lines(); }

private:
  TCaptureLog* FLog;
};

} // namespace orlavonix::test
