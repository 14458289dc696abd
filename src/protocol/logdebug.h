#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/Format.h"

namespace orlavonix {

enum TLogKind : uint8_t { lkDebug = 0, lkWarning = 1, lkError = 2, lkAll = 3 };
enum TLogLevel : uint8_t { llImportant = 0, llAll = 1, llUsefull = 2, llProcedureInfo = 3 };

// Sets over kinds and levels: bit n for ordinal n.
using TLogKinds = uint8_t;
using TLogLevels = uint8_t;
constexpr uint8_t LogSet(std::initializer_list<uint8_t> Ordinals) {
  uint8_t S = 0;
  for (auto O : Ordinals)
    S = static_cast<uint8_t>(S | (1u << O));
  return S;
}

const char* LogKindName(TLogKind Kind);
const char* LogLevelName(TLogLevel Level);

class TLogObject {
public:
  virtual ~TLogObject() = default;

  virtual void WriteLine(std::string_view Text, std::string_view Context, TLogKind Kind,
                         TLogLevel Level) = 0;
  virtual void WriteFooter() {}
  virtual void WriteHeader() = 0;
  virtual void Log(TLogKind Kind, TLogLevel Level, std::string_view Context, std::string_view Text);
  virtual void LogFmt(TLogKind Kind, TLogLevel Level, std::string_view Context,
                      std::string_view Text, const TVariants& Args);
  virtual void LogMemory(TLogKind Kind, TLogLevel Level, std::string_view Context) = 0;
  virtual void LogEntered(TLogKind Kind, TLogLevel Level, std::string_view Context,
                          std::string_view Text) = 0;
  virtual void LogEnteredFmt(TLogKind Kind, TLogLevel Level, std::string_view Context,
                             std::string_view Text, const TVariants& Args) = 0;
  virtual void LogLeft(TLogKind Kind, TLogLevel Level, std::string_view Context,
                       std::string_view Text) = 0;
  virtual void LogLeftFmt(TLogKind Kind, TLogLevel Level, std::string_view Context,
                          std::string_view Text, const TVariants& Args) = 0;

  void SetOptions(TLogKinds Kinds, TLogLevels Levels);
  bool IsEnabled(TLogKind Kind, TLogLevel Level) const;
  TLogKinds Kinds() const { return FKinds; }
  TLogLevels Levels() const { return FLevels; }

  template <typename... A>
  void Fmt(TLogKind Kind, TLogLevel Level, std::string_view Context, std::string_view Text,
           A&&... Args) {
    LogFmt(Kind, Level, Context, Text, TVariants{TVariant(std::forward<A>(Args))...});
  }

protected:
  // Derived destructors call this first, while their file is still theirs.
  void Finish();

private:
  std::atomic<TLogKinds> FKinds{0};
  std::atomic<TLogLevels> FLevels{0};
  bool FFinished = false;
};

// The log file: comma-separated lines, held in memory until Open or Disable.
class TClientLogFile : public TLogObject {
public:
  TClientLogFile(std::string FileName, TLogKinds Kinds, TLogLevels Levels);
  ~TClientLogFile() override;

  void Open();
  void Disable();
  const std::string& FileName() const { return FFileName; }

  void WriteLine(std::string_view Text, std::string_view Context, TLogKind Kind,
                 TLogLevel Level) override;
  void WriteFooter() override;
  void WriteHeader() override;
  void LogMemory(TLogKind Kind, TLogLevel Level, std::string_view Context) override;
  void LogEntered(TLogKind Kind, TLogLevel Level, std::string_view Context,
                  std::string_view Text) override;
  void LogEnteredFmt(TLogKind Kind, TLogLevel Level, std::string_view Context,
                     std::string_view Text, const TVariants& Args) override;
  void LogLeft(TLogKind Kind, TLogLevel Level, std::string_view Context,
               std::string_view Text) override;
  void LogLeftFmt(TLogKind Kind, TLogLevel Level, std::string_view Context, std::string_view Text,
                  const TVariants& Args) override;

private:
  struct TPendingEntry {
    std::string Line;
    bool Raw;
    TLogKind Kind;
    TLogLevel Level;
  };
  void WriteRaw(const std::string& Text);
  void WriteToFile(const std::string& Line);
  void FormatAndWrite(std::string_view Text, std::string_view Context, TLogKind Kind,
                      TLogLevel Level);

  std::string FFileName;
  std::vector<TPendingEntry> FPending;
  std::mutex FLock;
  bool FEnabled = true;
  bool FBuffering = true;
  std::FILE* FFile = nullptr;
  bool FFileOpen = false;
};

// A log that takes nothing; the global log until the program sets its own.
class TNullLog : public TLogObject {
public:
  void WriteLine(std::string_view, std::string_view, TLogKind, TLogLevel) override {}
  void WriteHeader() override {}
  void LogMemory(TLogKind, TLogLevel, std::string_view) override {}
  void LogEntered(TLogKind, TLogLevel, std::string_view, std::string_view) override {}
  void LogEnteredFmt(TLogKind, TLogLevel, std::string_view, std::string_view,
                     const TVariants&) override {}
  void LogLeft(TLogKind, TLogLevel, std::string_view, std::string_view) override {}
  void LogLeftFmt(TLogKind, TLogLevel, std::string_view, std::string_view,
                  const TVariants&) override {}
};

// The process-wide log. Setting replaces (and frees) the previous one.
TLogObject& GlobalLog();
void SetGlobalLog(std::unique_ptr<TLogObject> Log);

// "dd-mm-yy hh:nn:ss" of the local time now (or without seconds).
std::string LogTimeStamp(bool WithSeconds);

// Shorthands through the global log.
inline void LogDebug(std::string_view Context, std::string_view Text) {
  GlobalLog().Log(lkDebug, llAll, Context, Text);
}
inline void LogError(std::string_view Context, std::string_view Text) {
  GlobalLog().Log(lkError, llAll, Context, Text);
}
template <typename... A>
void LogFmt(TLogKind Kind, std::string_view Context, std::string_view Text, A&&... Args) {
  GlobalLog().Fmt(Kind, llAll, Context, Text, std::forward<A>(Args)...);
}
// The one line every edge handler writes: "Exception <class>: <message>".
void LogException(std::string_view Context, const std::exception& E);

} // namespace orlavonix
