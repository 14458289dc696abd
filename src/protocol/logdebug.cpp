#include "protocol/logdebug.h"

#include <atomic>
#include <ctime>
#include <unistd.h>

#include "base/Exceptions.h"

namespace orlavonix {

const char* LogKindName(TLogKind Kind) {
  static const char* Names[] = {"DEBUG", "WARNING", "ERROR", "ALL"};
  return Kind <= lkAll ? Names[Kind] : "";
}

const char* LogLevelName(TLogLevel Level) {
  static const char* Names[] = {"Important", "All", "Usefull", "ProcedureInfo"};
  return Level <= llProcedureInfo ? Names[Level] : "";
}

void TLogObject::SetOptions(TLogKinds Kinds, TLogLevels Levels) {
  FKinds = Kinds;
  FLevels = Levels;
}

bool TLogObject::IsEnabled(TLogKind Kind, TLogLevel Level) const {
  TLogKinds K = FKinds;
  TLogLevels L = FLevels;
  bool KindPasses = (K & (1u << Kind)) || (K & (1u << lkAll));
  if (!KindPasses)
    return false;
  return (L & (1u << llAll)) || (L & (1u << Level));
}

void TLogObject::Log(TLogKind Kind, TLogLevel Level, std::string_view Context,
                     std::string_view Text) {
  if (IsEnabled(Kind, Level))
    WriteLine(Text, Context, Kind, Level);
}

void TLogObject::LogFmt(TLogKind Kind, TLogLevel Level, std::string_view Context,
                        std::string_view Text, const TVariants& Args) {
  if (IsEnabled(Kind, Level))
    WriteLine(FillPlaceholders(Text, Args), Context, Kind, Level);
}

void TLogObject::Finish() {
  if (!FFinished) {
    FFinished = true;
    WriteFooter();
  }
}

std::string LogTimeStamp(bool WithSeconds) {
  std::time_t T = std::time(nullptr);
  std::tm Tm{};
  localtime_r(&T, &Tm);
  char Buf[32];
  std::strftime(Buf, sizeof Buf, WithSeconds ? "%d-%m-%y %H:%M:%S" : "%d-%m-%y %H:%M", &Tm);
  return Buf;
}

TClientLogFile::TClientLogFile(std::string FileName, TLogKinds Kinds, TLogLevels Levels)
    : FFileName(std::move(FileName)) {
  SetOptions(Kinds, Levels);
}

TClientLogFile::~TClientLogFile() {
  Finish();
}

void TClientLogFile::Open() {
  std::lock_guard<std::mutex> G(FLock);
  FBuffering = false;
  FEnabled = true;
  if (FFile)
    std::fclose(FFile);
  FFileOpen = false;
  FFile = std::fopen(FFileName.c_str(), "wb");
  FFileOpen = FFile != nullptr;
  for (const auto& E : FPending)
    if (E.Raw || IsEnabled(E.Kind, E.Level))
      WriteToFile(E.Line);
  FPending.clear();
}

void TClientLogFile::Disable() {
  std::lock_guard<std::mutex> G(FLock);
  FBuffering = false;
  FEnabled = false;
  FPending.clear();
}

void TClientLogFile::WriteToFile(const std::string& Line) {
  if (!FFileOpen)
    return;
  std::fwrite(Line.data(), 1, Line.size(), FFile);
  std::fwrite("\r\n", 1, 2, FFile);
  std::fflush(FFile);
}

void TClientLogFile::WriteLine(std::string_view Text, std::string_view Context, TLogKind Kind,
                               TLogLevel Level) {
  std::string Line = Format("%s,%d,%s,%s,%s,%s", LogTimeStamp(true), static_cast<int>(getpid()),
                            LogKindName(Kind), LogLevelName(Level), Context, Text);
  std::lock_guard<std::mutex> G(FLock);
  if (!FEnabled)
    return;
  if (FBuffering) {
    FPending.push_back({std::move(Line), false, Kind, Level});
    return;
  }
  if (IsEnabled(Kind, Level))
    WriteToFile(Line);
}

void TClientLogFile::WriteRaw(const std::string& Text) {
  std::lock_guard<std::mutex> G(FLock);
  if (!FEnabled)
    return;
  if (FBuffering) {
    FPending.push_back({Text, true, lkDebug, llAll});
    return;
  }
  WriteToFile(Text);
}

void TClientLogFile::WriteHeader() {
  const std::string Dashes(63, '-');
  WriteRaw(Dashes);
  WriteRaw("-------------- log started at " + LogTimeStamp(false) + " -------------");
  WriteRaw(Dashes);
}

void TClientLogFile::WriteFooter() {
  const std::string Dashes(63, '-');
  WriteRaw(Dashes);
  WriteRaw("--------------- log ended at " + LogTimeStamp(false) + " --------------");
  WriteRaw(Dashes);
  std::lock_guard<std::mutex> G(FLock);
  if (FFile) {
    std::fclose(FFile);
    FFile = nullptr;
  }
  FFileOpen = false;
}

void TClientLogFile::FormatAndWrite(std::string_view Text, std::string_view Context, TLogKind Kind,
                                    TLogLevel Level) {
  WriteLine(Text, Context, Kind, Level);
}

void TClientLogFile::LogMemory(TLogKind Kind, TLogLevel Level, std::string_view Context) {
  FormatAndWrite(" !!! LogMemory not supported yet !!!", Context, Kind, Level);
}

void TClientLogFile::LogEntered(TLogKind Kind, TLogLevel Level, std::string_view Context,
                                std::string_view Text) {
  FormatAndWrite(" Entered " + std::string(Text), Context, Kind, Level);
}

void TClientLogFile::LogEnteredFmt(TLogKind Kind, TLogLevel Level, std::string_view Context,
                                   std::string_view Text, const TVariants& Args) {
  FormatAndWrite(" Entered " + FillPlaceholders(Text, Args), Context, Kind, Level);
}

void TClientLogFile::LogLeft(TLogKind Kind, TLogLevel Level, std::string_view Context,
                             std::string_view Text) {
  FormatAndWrite(" Left " + std::string(Text), Context, Kind, Level);
}

void TClientLogFile::LogLeftFmt(TLogKind Kind, TLogLevel Level, std::string_view Context,
                                std::string_view Text, const TVariants& Args) {
  FormatAndWrite(" Left " + FillPlaceholders(Text, Args), Context, Kind, Level);
}

namespace {
std::atomic<TLogObject*> GLog{nullptr};
std::unique_ptr<TLogObject> GOwnedLog;
std::mutex GLogSetLock;
TNullLog GNullLog;
} // namespace

TLogObject& GlobalLog() {
  TLogObject* L = GLog.load(std::memory_order_acquire);
  return L ? *L : GNullLog;
}

void SetGlobalLog(std::unique_ptr<TLogObject> Log) {
  std::lock_guard<std::mutex> G(GLogSetLock);
  GLog.store(Log.get(), std::memory_order_release);
  GOwnedLog = std::move(Log);
}

void LogException(std::string_view Context, const std::exception& E) {
  GlobalLog().Fmt(lkError, llAll, Context, "Exception %1: %2", ExceptionClassName(E), E.what());
}

} // namespace orlavonix
