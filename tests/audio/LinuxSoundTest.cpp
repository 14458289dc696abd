// Opening backends through the sound engine: the kind switch, the wait for
// initialisation, what is recorded when opening fails, and the format error.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "support/LogCapture.h"
#include "audio/SoundBackends.h"
#include "audio/TcpPeer.h"
#include "base/Exceptions.h"
#include "voice/LinuxSound.h"

namespace orlavonix {
namespace {

using namespace std::chrono_literals;
using test::TPeer;

// The protocol side at its quietest: no voice to play, nothing sent.
class TQuietClient : public TSoundClient {
public:
  bool snd_GetSoundData(float*, int32_t) override { return false; }
  bool snd_StoreSoundData(float*, int32_t, float& Level) override {
    Level = 0;
    return false;
  }
};

// A port that some other socket is listening on, for as long as it lives.
struct THeldPort {
  THeldPort() {
    Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
    ::listen(Fd, 1);
    socklen_t Len = sizeof A;
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len);
    Port = ntohs(A.sin_port);
  }
  ~THeldPort() { ::close(Fd); }
  int Fd, Port;
};

int FreePort() {
  THeldPort P;
  return P.Port;
}

class Engine : public ::testing::Test {
protected:
  void SetUp() override { Log = &test::TLogCapture::Install(); }
  test::TLogCapture* Log = nullptr;
  TQuietClient Client;
  TLinuxSound Sound{&Client, nullptr, CreateSoundBackend};
};

TEST_F(Engine, NetworkBackendOpensWithBothDevicesAndPlaysToThePeer) {
  int Port = FreePort();
  std::string Name = std::to_string(Port) + ":l";
  Sound.SetBufferSize(1024);
  ASSERT_TRUE(Sound.OpenDevice(1, Name, false));
  EXPECT_TRUE(Sound.HasInput());
  EXPECT_TRUE(Sound.HasOutput());
  EXPECT_EQ(Sound.InKind(), 1);
  EXPECT_EQ(Sound.OutKind(), 1);
  EXPECT_EQ(Sound.InName(), Name);
  EXPECT_EQ(Sound.OutName(), Name);
  TPeer Peer(Port);
  ASSERT_TRUE(Peer.Ok);
  // Blocks of silence come from the engine at the chosen block size.
  auto Got = Peer.Read(4 * 1024, 3s);
  ASSERT_EQ(Got.size(), 4u * 1024);
  EXPECT_TRUE(std::all_of(Got.begin(), Got.end(), [](uint8_t B) { return B == 0; }));
}

TEST_F(Engine, FailuresRecordTheRequestedKindAndNameWithoutDevices) {
  THeldPort Held;
  struct Case {
    int32_t Kind;
    std::string Name;
  } Cases[] = {{1, std::to_string(Held.Port) + ":B"}, {0, "/nonexistent/dsp"}};
  for (auto& C : Cases) {
    auto Before = std::chrono::steady_clock::now();
    EXPECT_FALSE(Sound.OpenDevice(C.Kind, C.Name, false)) << C.Name;
    // Both fail fast: the thread ends by itself, and the wait is at most a second.
    EXPECT_LT(std::chrono::steady_clock::now() - Before, 1500ms) << C.Name;
    EXPECT_FALSE(Sound.HasInput());
    EXPECT_FALSE(Sound.HasOutput());
    EXPECT_EQ(Sound.InKind(), C.Kind);
    EXPECT_EQ(Sound.OutKind(), C.Kind);
    EXPECT_EQ(Sound.InName(), C.Name);
    EXPECT_EQ(Sound.OutName(), C.Name);
  }
  EXPECT_EQ(Log->CountContaining("Opening network socket failed with error: " +
                                 std::to_string(EADDRINUSE)),
            1u);
  EXPECT_EQ(Log->CountContaining("OSS error in OpenSoundDevice (/nonexistent/dsp)"), 1u);
}

TEST_F(Engine, MalformedNetworkNamePassesItsErrorOutAndLeavesNoBackend) {
  ASSERT_TRUE(Sound.OpenDevice(1, std::to_string(FreePort()) + ":L", false));
  try {
    Sound.OpenDevice(1, "8780", false);
    ADD_FAILURE() << "no error";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "Wrong device format (port:B / port:L)");
  }
  EXPECT_FALSE(Sound.HasOutput());
  EXPECT_FALSE(Sound.HasInput());
  EXPECT_EQ(Sound.InKind(), -1);
  EXPECT_EQ(Sound.OutKind(), -1);
  EXPECT_EQ(Sound.InName(), "");
}

TEST_F(Engine, UnknownKindOpensNothingAndSwitchingFreesTheOldBackend) {
  int First = FreePort(), Second = FreePort();
  ASSERT_TRUE(Sound.OpenDevice(1, std::to_string(First) + ":L", false));
  ASSERT_TRUE(Sound.OpenDevice(1, std::to_string(Second) + ":L", false));
  // The first port is no longer served: the old thread is gone.
  TPeer Old(First);
  EXPECT_FALSE(Old.Ok);
  TPeer New(Second);
  EXPECT_TRUE(New.Ok);
  EXPECT_FALSE(Sound.OpenDevice(7, "x", false));
  EXPECT_FALSE(Sound.HasOutput());
}

} // namespace
} // namespace orlavonix
