// The sound-card backend on this machine, which has no sound card: a private
// sound server with two null sinks stands in for the speaker and the
// microphone, and an OSS emulation is preloaded into a helper process that
// runs the backend thread. A tone the program plays must reach the speaker,
// and a tone fed to the microphone must reach the capture device at its pitch.
// Without the tools this cannot run, and then it fails rather than passing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/Subprocess.h"
#include "audio/ToneAnalysis.h"

namespace orlavonix {
namespace {

using namespace std::chrono_literals;
using test::TProcess;
namespace fs = std::filesystem;

constexpr double SpeakerTone = 440, MicTone = 700;

struct Emulation {
  const char* Name;
  std::map<std::string, std::string> Env;
};

const Emulation Emulations[] = {
    {"libpulsedsp", {{"LD_PRELOAD", "/usr/lib/x86_64-linux-gnu/pulseaudio/libpulsedsp.so"}}},
    {"libaoss",
     {{"LD_PRELOAD", "/usr/lib/x86_64-linux-gnu/libaoss.so"}, {"ALSA_OSS_PCM_DEVICE", "pulse"}}},
};

std::map<std::string, std::string> ParseReport(const std::string& Text) {
  std::map<std::string, std::string> Values;
  std::istringstream Lines(Text);
  for (std::string L; std::getline(Lines, L);)
    if (auto Eq = L.find('='); Eq != std::string::npos && L.rfind("log=", 0) != 0)
      Values[L.substr(0, Eq)] = L.substr(Eq + 1);
  return Values;
}

class OssEmulation : public ::testing::Test {
protected:
  void SetUp() override {
    char Tmpl[] = "/tmp/orlavonix-oss-XXXXXX";
    ASSERT_NE(mkdtemp(Tmpl), nullptr);
    Dir = Tmpl;
    Server = Dir + "/server";
    TProcess Start({PULSE_SESSION_SCRIPT, "start", Server}, {});
    auto Rc = Start.Wait(30s);
    ASSERT_TRUE(Rc.has_value()) << "the sound server did not start within 30 s";
    ASSERT_EQ(*Rc, 0) << "the sound server could not be started (see stderr)";
    Env = {{"HOME", Server + "/home"},
           {"XDG_RUNTIME_DIR", Server + "/run"},
           {"PULSE_SERVER", "unix:" + Server + "/run/native"},
           {"PULSE_CLIENTCONFIG", Server + "/client.conf"}};
  }
  void TearDown() override {
    if (!Server.empty()) {
      TProcess Stop({PULSE_SESSION_SCRIPT, "stop", Server}, {});
      Stop.Wait(15s);
    }
    std::error_code Ec;
    fs::remove_all(Dir, Ec);
  }

  // Waits until the server has N streams of a kind ("sink-inputs" or
  // "source-outputs").
  bool WaitForStreams(const std::string& Kind, size_t N) {
    auto End = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < End) {
      std::string Out = Dir + "/streams.txt";
      TProcess List({"pactl", "list", "short", Kind}, Env, Out);
      if (List.Wait(5s) == 0) {
        std::ifstream F(Out);
        size_t Lines = 0;
        for (std::string L; std::getline(F, L);)
          Lines += !L.empty();
        if (Lines >= N)
          return true;
      }
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  // The microphone hears a steady tone for longer than any run.
  std::unique_ptr<TProcess> FeedMicrophone() {
    std::string MicFile = Dir + "/mic.raw";
    auto Tone = test::Sine(MicTone, 30, 8000);
    std::ofstream(MicFile, std::ios::binary)
        .write(reinterpret_cast<const char*>(Tone.data()), std::streamsize(Tone.size() * 2));
    // Low latency makes the null sink render in small pieces; with the default
    // two seconds its monitor hands a low-latency reader only scraps.
    auto Mic = std::make_unique<TProcess>(
        std::vector<std::string>{"pacat", "--playback", "--latency-msec=20", "--device=mic",
                                 "--rate=22050", "--channels=1", "--format=s16le", "--raw",
                                 MicFile},
        Env);
    EXPECT_TRUE(Mic->Started());
    EXPECT_TRUE(WaitForStreams("sink-inputs", 1)) << "nothing feeds the microphone sink";
    return Mic;
  }
  std::unique_ptr<TProcess> RecordSpeaker(const std::string& File) {
    auto P = std::make_unique<TProcess>(
        std::vector<std::string>{"parecord", "--latency-msec=20", "--device=speaker.monitor",
                                 "--rate=22050", "--channels=1", "--format=s16le", "--raw"},
        Env, File);
    EXPECT_TRUE(WaitForStreams("source-outputs", 1)) << "the speaker is not being recorded";
    return P;
  }
  // Runs the helper with the emulation preloaded; returns its report.
  std::string RunHelper(const Emulation& E, std::vector<std::string> Args,
                        const std::string& Report) {
    auto HelperEnv = Env;
    for (auto& [K, V] : E.Env)
      HelperEnv[K] = V;
    // A sanitizer runtime must otherwise come first among preloaded libraries.
    HelperEnv["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0";
    Args.insert(Args.begin(), OSS_TONE_HELPER);
    TProcess Helper(Args, HelperEnv, Report);
    auto Rc = Helper.Wait(60s);
    std::ifstream R(Report);
    std::stringstream Text;
    Text << R.rdbuf();
    EXPECT_TRUE(Rc.has_value()) << "the backend did not finish within 60 s\n" << Text.str();
    EXPECT_EQ(Rc.value_or(-1), 0) << Text.str();
    return Text.str();
  }

  std::map<std::string, std::string> Env;
  std::string Dir, Server;
};

TEST_F(OssEmulation, ToneOutToTheSpeakerAndInFromTheMicrophoneUnderEachEmulation) {
  auto Mic = FeedMicrophone();
  for (auto& E : Emulations) {
    SCOPED_TRACE(E.Name);
    ASSERT_TRUE(fs::exists(E.Env.at("LD_PRELOAD"))) << E.Env.at("LD_PRELOAD") << " is missing";
    std::string SpeakerFile = Dir + "/" + E.Name + "-speaker.raw";
    std::string CaptureFile = Dir + "/" + E.Name + "-capture.raw";
    auto Speaker = RecordSpeaker(SpeakerFile);
    std::string Text =
        RunHelper(E, {"/dev/dsp", "4096", std::to_string(int(SpeakerTone)), "3", CaptureFile},
                  Dir + "/" + E.Name + "-report.txt");
    Speaker->Kill();
    auto Values = ParseReport(Text);
    // Every request of the initialisation succeeded and the card is duplex.
    EXPECT_EQ(Values["initialized"], "1") << Text;
    EXPECT_EQ(Values["duplex"], "1") << Text;
    EXPECT_EQ(Text.find("Exception"), std::string::npos) << Text;
    // Blocks came at the pace of the sound, not faster.
    int Block = std::stoi(Values.count("block") ? Values["block"] : "0");
    int InBlocks = std::stoi(Values.count("in_blocks") ? Values["in_blocks"] : "0");
    ASSERT_GT(Block, 0);
    ASSERT_GE(InBlocks, 3 * 44100 / Block);
    double Audio = (InBlocks - 1) * 1000.0 * Block / 44100;
    double Elapsed = std::stod(Values.count("elapsed_ms") ? Values["elapsed_ms"] : "0");
    EXPECT_GT(Elapsed, Audio * 0.6) << Text;

    auto Captured = test::AnalyseTone(test::ReadRaw16(CaptureFile));
    EXPECT_GE(Captured.Windows, 20u) << "too little of the microphone tone arrived";
    EXPECT_NEAR(Captured.Hz, MicTone, 10) << "captured at the wrong pitch";
    EXPECT_GT(Captured.Purity, 0.9) << "captured tone is broken up";

    auto Played = test::AnalyseTone(test::ReadRaw16(SpeakerFile));
    EXPECT_GE(Played.Windows, 20u) << "too little of the played tone reached the speaker";
    EXPECT_NEAR(Played.Hz, SpeakerTone, 10) << "played at the wrong pitch";
    EXPECT_GT(Played.Purity, 0.9) << "played tone is broken up";
    std::printf("%s: block %d, captured %.0f Hz purity %.3f (%zu windows), played %.0f Hz "
                "purity %.3f (%zu windows), %d blocks in %.0f ms\n",
                E.Name, Block, Captured.Hz, Captured.Purity, Captured.Windows, Played.Hz,
                Played.Purity, Played.Windows, InBlocks, Elapsed);
  }
}

// The same through the sound engine opened with kind 0: the voice it mixes at
// 8000 Hz reaches the speaker, and the microphone reaches the sending side at
// 8000 Hz, both at their pitch.
TEST_F(OssEmulation, EngineOpenedOnTheCardPlaysVoiceAndCapturesTheMicrophone) {
  constexpr double VoiceTone = 500;
  auto Mic = FeedMicrophone();
  for (auto& E : Emulations) {
    SCOPED_TRACE(E.Name);
    std::string SpeakerFile = Dir + "/" + E.Name + "-engine-speaker.raw";
    std::string SentFile = Dir + "/" + E.Name + "-engine-sent.raw";
    auto Speaker = RecordSpeaker(SpeakerFile);
    std::string Text =
        RunHelper(E, {"engine", "/dev/dsp", "2048", std::to_string(int(VoiceTone)), "3", SentFile},
                  Dir + "/" + E.Name + "-engine-report.txt");
    Speaker->Kill();
    auto Values = ParseReport(Text);
    EXPECT_EQ(Values["initialized"], "1") << Text;
    EXPECT_EQ(Values["duplex"], "1") << Text;
    EXPECT_EQ(Text.find("Exception"), std::string::npos) << Text;

    // The engine resamples by 4/11 and 11/4 against a nominal 22050 Hz, which
    // moves a tone by a fraction of a per cent; the filters cost some purity.
    auto Sent = test::AnalyseTone(test::ReadRaw16(SentFile), 500, 8000);
    EXPECT_GE(Sent.Windows, 20u) << "too little of the microphone reached the sending side";
    EXPECT_NEAR(Sent.Hz, MicTone, 10) << "sent at the wrong pitch";
    EXPECT_GT(Sent.Purity, 0.8) << "sent tone is broken up";
    auto Played = test::AnalyseTone(test::ReadRaw16(SpeakerFile));
    EXPECT_GE(Played.Windows, 20u) << "too little of the voice reached the speaker";
    EXPECT_NEAR(Played.Hz, VoiceTone, 10) << "voice played at the wrong pitch";
    EXPECT_GT(Played.Purity, 0.8) << "voice is broken up";
    std::printf("%s engine: sent %.0f Hz purity %.3f (%zu windows), played %.0f Hz purity %.3f "
                "(%zu windows)\n",
                E.Name, Sent.Hz, Sent.Purity, Sent.Windows, Played.Hz, Played.Purity,
                Played.Windows);
  }
}

} // namespace
} // namespace orlavonix
