#pragma once

#include <string>
#include <vector>

namespace orlavonix {

enum class TSoundChoice { None, Oss, Network };

struct TCliOptions {
  std::string Link; // the server link to connect to
  TSoundChoice Sound = TSoundChoice::None;
  std::string SoundName;   // "/dev/dsp" or "8780:L"
  bool SoundGiven = false; // --sound was on the command line
  int BufferSize = 2048;   // device block in bytes: 1024, 2048 or 4096
  bool Debug = false;      // write the debug log from the start
  std::string LogFile;     // where the debug log goes (default: the user data dir)
  std::string ConfigFile;  // bandwidth and sound settings
  int VoxLevel = -1;       // voice activation level 0..1000; -1: push-to-talk
  bool Help = false;
};

// Parses the arguments after the program name. Raises std::invalid_argument
// with a message fit for the user.
TCliOptions ParseCliOptions(const std::vector<std::string>& Args);

const char* CliUsage();

} // namespace orlavonix
