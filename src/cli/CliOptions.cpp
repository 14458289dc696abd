#include "cli/CliOptions.h"

#include <cstdlib>
#include <stdexcept>

namespace orlavonix {

const char* CliUsage() {
  return "usage: orlavonix-cli [options] SERVER-LINK\n"
         "  SERVER-LINK          orlavonix://host[:port]?nickname=NAME&password=..&channel=..\n"
         "  --sound none         no sound device (default)\n"
         "  --sound oss:DEVICE   an OSS device, e.g. oss:/dev/dsp\n"
         "  --sound net:PORT:L   a TCP sound port, samples little- (L) or big-endian (B)\n"
         "  --buffer BYTES       device block size: 1024, 2048 (default) or 4096\n"
         "  --vox LEVEL          talk by voice activation, sensitivity 0..1000 (default: "
         "push-to-talk)\n"
         "  --config FILE        read bandwidth and sound settings from a settings file\n"
         "  --debug              write the debug log (ZQClient.log in the user data folder)\n"
         "  --log FILE           write the debug log to FILE\n"
         "Standard input takes remote-control commands, one per line, and\n"
         "TALK ON, TALK OFF, WHISPER [PLAYER|CHANNEL name]..., QUIT.\n"
         "Every client event and every reply is printed as one JSON line.\n";
}

TCliOptions ParseCliOptions(const std::vector<std::string>& Args) {
  TCliOptions O;
  auto Value = [&](size_t& I, const std::string& Name) -> const std::string& {
    if (I + 1 >= Args.size())
      throw std::invalid_argument(Name + " needs a value");
    return Args[++I];
  };
  for (size_t I = 0; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    if (A == "--help" || A == "-h") {
      O.Help = true;
    } else if (A == "--debug" || A == "-d") {
      O.Debug = true;
    } else if (A == "--log") {
      O.LogFile = Value(I, A);
      O.Debug = true;
    } else if (A == "--config") {
      O.ConfigFile = Value(I, A);
    } else if (A == "--buffer") {
      const std::string& V = Value(I, A);
      if (V == "1024" || V == "2048" || V == "4096")
        O.BufferSize = std::stoi(V);
      else
        throw std::invalid_argument("--buffer takes 1024, 2048 or 4096, not " + V);
    } else if (A == "--vox") {
      const std::string& V = Value(I, A);
      char* End = nullptr;
      long L = std::strtol(V.c_str(), &End, 10);
      if (V.empty() || *End || L < 0 || L > 1000)
        throw std::invalid_argument("--vox takes a level from 0 to 1000, not " + V);
      O.VoxLevel = static_cast<int>(L);
    } else if (A == "--sound") {
      const std::string& V = Value(I, A);
      O.SoundGiven = true;
      if (V == "none") {
        O.Sound = TSoundChoice::None;
        O.SoundName.clear();
      } else if (V.rfind("oss:", 0) == 0 && V.size() > 4) {
        O.Sound = TSoundChoice::Oss;
        O.SoundName = V.substr(4);
      } else if (V.rfind("net:", 0) == 0 && V.size() > 4) {
        O.Sound = TSoundChoice::Network;
        O.SoundName = V.substr(4);
      } else {
        throw std::invalid_argument("--sound takes none, oss:DEVICE or net:PORT:L|B, not " + V);
      }
    } else if (!A.empty() && A[0] == '-') {
      throw std::invalid_argument("unknown option " + A);
    } else if (O.Link.empty()) {
      O.Link = A;
    } else {
      throw std::invalid_argument("only one server link, not also " + A);
    }
  }
  if (O.Link.empty() && !O.Help)
    throw std::invalid_argument("a server link is needed");
  return O;
}

} // namespace orlavonix
