#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/logdebug.h"

namespace orlavonix::test {

// A debug log that keeps every line in memory, for tests that look at what a
// component logged. Lines read as "context|text" where one text is wanted.
class TLogCapture : public TNullLog {
public:
  struct TLine {
    std::string Context;
    std::string Text;
    std::string Joined() const { return Context + "|" + Text; }
  };

  TLogCapture() { SetOptions(LogSet({lkAll}), LogSet({llAll})); }

  // A fresh capture as the process-wide log, replacing (and freeing) the
  // previous one: only for tests whose threads have all ended.
  static TLogCapture& Install() {
    auto Log = std::make_unique<TLogCapture>();
    TLogCapture& Ref = *Log;
    SetGlobalLog(std::move(Log));
    return Ref;
  }
  // One capture for the whole process, installed on first use and never
  // replaced, for tests whose worker threads may log at any time.
  static TLogCapture& Shared() {
    static TLogCapture& Log = Install();
    return Log;
  }

  void WriteLine(std::string_view Text, std::string_view Context, TLogKind, TLogLevel) override {
    std::lock_guard<std::mutex> G(FLock);
    FLines.push_back({std::string(Context), std::string(Text)});
    FChanged.notify_all();
  }

  std::vector<TLine> Lines() const {
    std::lock_guard<std::mutex> G(FLock);
    return FLines;
  }

  // Lines whose text equals Text (and whose context is Context when given).
  size_t Count(const std::string& Text, const std::string& Context = "") const {
    std::lock_guard<std::mutex> G(FLock);
    return CountLocked(Text, Context);
  }

  // Every line as "context|text".
  std::vector<std::string> Joined() const {
    std::lock_guard<std::mutex> G(FLock);
    std::vector<std::string> Out;
    for (auto& L : FLines)
      Out.push_back(L.Joined());
    return Out;
  }

  // Lines whose "context|text" contains Part.
  size_t CountContaining(const std::string& Part) const {
    std::lock_guard<std::mutex> G(FLock);
    size_t N = 0;
    for (auto& L : FLines)
      N += L.Joined().find(Part) != std::string::npos;
    return N;
  }

  // Whether some line reads exactly "context|text".
  bool Contains(const std::string& Joined) const {
    std::lock_guard<std::mutex> G(FLock);
    for (auto& L : FLines)
      if (L.Joined() == Joined)
        return true;
    return false;
  }

  // Waits until at least N lines equal Text; false after the time-out.
  bool WaitFor(const std::string& Text, size_t N, std::chrono::milliseconds Timeout,
               const std::string& Context = "") {
    std::unique_lock<std::mutex> G(FLock);
    return FChanged.wait_for(G, Timeout, [&] { return CountLocked(Text, Context) >= N; });
  }

  void Clear() {
    std::lock_guard<std::mutex> G(FLock);
    FLines.clear();
  }

private:
  size_t CountLocked(const std::string& Text, const std::string& Context) const {
    size_t N = 0;
    for (auto& L : FLines)
      N += L.Text == Text && (Context.empty() || L.Context == Context);
    return N;
  }

  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TLine> FLines;
};

// A fresh capture for the length of a scope; a log that takes nothing after.
class TLogCaptureScope {
public:
  TLogCaptureScope() : FLog(TLogCapture::Install()) {}
  ~TLogCaptureScope() { SetGlobalLog(std::make_unique<TNullLog>()); }
  TLogCapture& operator*() { return FLog; }
  TLogCapture* operator->() { return &FLog; }

private:
  TLogCapture& FLog;
};

// Waits until Pred holds, checking every few milliseconds; false on time-out.
template <typename P> bool WaitUntil(P Pred, std::chrono::milliseconds Timeout) {
  auto End = std::chrono::steady_clock::now() + Timeout;
  while (!Pred()) {
    if (std::chrono::steady_clock::now() >= End)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

} // namespace orlavonix::test
