// Two protocol objects logged in to the bundled test server over loopback
// UDP, no sound card: a tone captured by one comes out of the other.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include "VoiceTestUtil.h"
#include "protocol/ClientProtocol.h"
#include "support/ChildProcess.h"
#include "support/ClientHarness.h"
#include "voice/ClientSoundBase.h"

namespace orlavonix {
namespace {

using namespace std::chrono_literals;

// The test server as a child process on free ports.
class TTestServer {
public:
  TTestServer() {
    int Out[2];
    if (pipe(Out) != 0)
      return;
    FPid = fork();
    if (FPid == 0) {
      dup2(Out[1], 1);
      close(Out[0]);
      close(Out[1]);
      std::string Script = std::string(ORLAVONIX_SOURCE_DIR) + "/testserver/server.py";
      execlp("python3", "python3", Script.c_str(), "--port", "0", "--control-port", "0",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(Out[1]);
    // Read until the READY line has come whole.
    std::string Line;
    const std::regex Ready(R"(READY udp=[\d.]+:(\d+) control=[\d.]+:(\d+)\n)");
    auto Deadline = std::chrono::steady_clock::now() + 20s;
    std::smatch M;
    while (std::chrono::steady_clock::now() < Deadline && !std::regex_search(Line, M, Ready)) {
      pollfd P{Out[0], POLLIN, 0};
      if (poll(&P, 1, 200) > 0) {
        char Buf[256];
        ssize_t N = read(Out[0], Buf, sizeof Buf);
        if (N <= 0)
          break;
        Line.append(Buf, size_t(N));
      }
    }
    FOut = Out[0]; // kept open: the server goes on writing to it
    if (std::regex_search(Line, M, Ready)) {
      UdpPort = uint16_t(std::stoi(M[1]));
      ControlPort = uint16_t(std::stoi(M[2]));
    }
  }
  ~TTestServer() {
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      test::WaitChild(FPid, 5000ms);
    }
    if (FOut >= 0)
      close(FOut);
  }
  // One control request and its reply line.
  std::string Control(const std::string& Json) {
    int S = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(ControlPort);
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string Reply;
    if (connect(S, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0) {
      std::string Line = Json + "\n";
      (void)!write(S, Line.data(), Line.size());
      auto Deadline = std::chrono::steady_clock::now() + 5s;
      while (Reply.find('\n') == std::string::npos && std::chrono::steady_clock::now() < Deadline) {
        pollfd P{S, POLLIN, 0};
        if (poll(&P, 1, 200) > 0) {
          char Buf[512];
          ssize_t N = read(S, Buf, sizeof Buf);
          if (N <= 0)
            break;
          Reply.append(Buf, size_t(N));
        }
      }
    }
    close(S);
    return Reply;
  }
  uint16_t UdpPort = 0;
  uint16_t ControlPort = 0;

private:
  pid_t FPid = -1;
  int FOut = -1;
};

struct TPeer {
  testing::TEventLog Log;
  std::unique_ptr<TClient> Client;
  TPeer() {
    Client = std::make_unique<TClient>(Log.Callback(),
                                       coResend | coKeepAlive | coDoTransport | coClientDoesLogin);
  }
};

// Sends a 1 kHz tone from one client's capture device to the other's
// playback device; returns the frequency heard, 0 when nothing came.
double ToneAcross(TTestServer& Server, const std::string& Channel, uint16_t Codec) {
  TPeer A, B;
  std::string Error;
  EXPECT_EQ(A.Client->Connect("127.0.0.1", Server.UdpPort, "alice", "", "", Channel, "", "", true,
                              false, 0, Error),
            0)
      << Error;
  EXPECT_EQ(B.Client->Connect("127.0.0.1", Server.UdpPort, "bob", "", "", Channel, "", "", true,
                              false, 0, Error),
            0)
      << Error;
  EXPECT_TRUE(A.Log.WaitForKind(cb_initDone, 1, 10000));
  EXPECT_TRUE(B.Log.WaitForKind(cb_initDone, 1, 10000));
  EXPECT_EQ(A.Client->TransmitCodec(), Codec);
  EXPECT_EQ(B.Client->TransmitCodec(), Codec);
  // A sees B in its channel before it speaks.
  auto Deadline = std::chrono::steady_clock::now() + 10s;
  while (A.Client->ListPlayers().size() < 2 && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(5ms);

  A.Client->snd_SetPushToTalk(true);
  A.Client->snd_SetPushToTalkPressed(true);
  TSoundInDevice Mic(A.Client.get(), false, nullptr);
  TSoundOutDevice Speaker(B.Client.get(), 0.7f, nullptr);
  // Twelve packets' worth of tone: fewer than the receive window holds.
  auto Tone = test::Tone(1000, 8000, 26 * 1024, 0, 22050);
  std::vector<int16_t> Pcm(Tone.size());
  for (size_t I = 0; I < Tone.size(); ++I)
    Pcm[I] = int16_t(std::lrint(Tone[I]));
  for (int Blk = 0; Blk < 26; ++Blk)
    Mic.ProcessInput(Pcm.data() + Blk * 1024, 1024);
  A.Client->snd_SetPushToTalkPressed(false);

  // Play until the voice has come and gone (bounded). Gaps are waited out in
  // real time, so a slow machine that delivers the packets late still has
  // them heard.
  std::vector<float> Heard;
  std::vector<int16_t> Block(1024);
  bool Started = false;
  auto LastLoud = std::chrono::steady_clock::now();
  Deadline = LastLoud + 15s;
  while (std::chrono::steady_clock::now() < Deadline &&
         !(Started && std::chrono::steady_clock::now() - LastLoud > 1s)) {
    Speaker.ProduceOutput(Block.data(), 1024);
    bool Loud = std::any_of(Block.begin(), Block.end(), [](int16_t S) { return S != 0; });
    if (Loud) {
      Started = true;
      LastLoud = std::chrono::steady_clock::now();
      Heard.insert(Heard.end(), Block.begin(), Block.end());
    } else {
      std::this_thread::sleep_for(2ms);
    }
  }
  A.Client->Disconnect();
  B.Client->Disconnect();
  if (Heard.size() < 8000)
    return 0;
  return test::DominantFrequency(Heard.data(), Heard.size(), 22050);
}

TEST(VoiceEndToEnd, ToneCrossesTheServerWithSpeexAndWithGsm) {
  TTestServer Server;
  ASSERT_NE(Server.UdpPort, 0) << "test server did not start";
  // Lobby, the default channel, carries codec 8 (Speex 9.3).
  EXPECT_NEAR(ToneAcross(Server, "Lobby", 8), 1000, 15);
  std::string Reply = Server.Control(R"({"cmd": "create_channel", "name": "Gsm", "codec": 2})");
  ASSERT_NE(Reply.find("\"ok\": true"), std::string::npos) << Reply;
  EXPECT_NEAR(ToneAcross(Server, "Gsm", 2), 1000, 15);
}

} // namespace
} // namespace orlavonix
