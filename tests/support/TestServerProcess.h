// The bundled test server as a child process: started on free ports, driven
// through its control interface, stopped at the end. Every wait is bounded.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace orlavonix::testing {

class TTestServerProcess {
public:
  // Args: further command-line options; ConfigJson: a configuration laid over
  // the built-in one (written to a temporary file), empty for none.
  explicit TTestServerProcess(std::vector<std::string> Args = {}, std::string ConfigJson = "");
  ~TTestServerProcess();
  TTestServerProcess(const TTestServerProcess&) = delete;
  TTestServerProcess& operator=(const TTestServerProcess&) = delete;

  // Starts the server and waits for its READY line; false (with Error()) on
  // failure or time-out.
  bool Start(int TimeoutMs = 15000);
  // Ends it: SIGTERM, then SIGKILL when it does not exit in time.
  void Stop(int TimeoutMs = 5000);
  // Waits for the process to exit by itself (after a shutdown command).
  bool WaitExit(int TimeoutMs);
  bool Running() const { return FPid > 0; }

  uint16_t UdpPort() const { return FUdpPort; }
  uint16_t ControlPort() const { return FControlPort; }
  const std::string& Error() const { return FError; }
  // The server's diagnostics so far (its stderr).
  std::string Diagnostics() const;

  // Sends one JSON request line; returns the reply line, empty on failure.
  std::string Control(const std::string& Request, int TimeoutMs = 10000);

private:
  std::vector<std::string> FArgs;
  std::string FConfigJson;
  std::string FConfigFile;
  std::string FStderrFile;
  pid_t FPid = -1;
  int FStdout = -1;
  uint16_t FUdpPort = 0;
  uint16_t FControlPort = 0;
  std::string FError;
};

// Crude readers of flat values in a JSON reply: the first occurrence of
// "Key": followed by a number or a string.
bool JsonNumber(const std::string& Json, const std::string& Key, int64_t& Value);
bool JsonBool(const std::string& Json, const std::string& Key, bool& Value);

} // namespace orlavonix::testing
