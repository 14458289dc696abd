// orlavonix-cli: a headless client for scripts, bots, tests and benchmarks.
#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/Exceptions.h"
#include "cli/CliOptions.h"
#include "cli/ConsoleClient.h"
#include "config/ServerLink.h"
#include "protocol/logdebug.h"

using namespace orlavonix;

int main(int argc, char** argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  TCliOptions Options;
  try {
    Options = ParseCliOptions(Args);
  } catch (const std::invalid_argument& E) {
    std::fprintf(stderr, "orlavonix-cli: %s\n%s", E.what(), CliUsage());
    return 2;
  }
  if (Options.Help) {
    std::fputs(CliUsage(), stdout);
    return 0;
  }
  std::signal(SIGPIPE, SIG_IGN);
  if (Options.Debug) {
    std::string File = Options.LogFile.empty() ? UserDataDir() + "ZQClient.log" : Options.LogFile;
    auto Log = std::make_unique<TClientLogFile>(File, LogSet({lkDebug, lkWarning, lkError}),
                                                LogSet({llAll}));
    Log->Open();
    Log->WriteHeader();
    SetGlobalLog(std::move(Log));
  }
  int Status;
  try {
    TConsoleClient Client(Options, stdout, stderr);
    Status = Client.Run(0);
  } catch (const std::exception& E) {
    std::fprintf(stderr, "orlavonix-cli: %s\n", E.what());
    Status = 1;
  }
  SetGlobalLog(nullptr);
  return Status;
}
