// Event sounds through the real sound engine: a played sound comes out of the
// network device's stream at the event-sound gain; replaced sounds stay valid
// while queued; disabling stops what is queued.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "support/LogCapture.h"
#include "audio/SoundBackends.h"
#include "audio/TcpPeer.h"
#include "base/Exceptions.h"
#include "notify/EventSoundNames.h"
#include "notify/SoundNotifications.h"
#include "notify/WaveBuilder.h"
#include "voice/LinuxSound.h"

namespace orlavonix {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class TQuietClient : public TSoundClient {
public:
  bool snd_GetSoundData(float*, int32_t) override { return false; }
  bool snd_StoreSoundData(float*, int32_t, float& Level) override {
    Level = 0;
    return false;
  }
};

class EventSounds : public ::testing::Test {
protected:
  void SetUp() override {
    test::TLogCapture::Install();
    char Tmpl[] = "/tmp/orlavonix-snd-XXXXXX";
    ASSERT_NE(mkdtemp(Tmpl), nullptr);
    Dir = Tmpl;
  }
  void TearDown() override { fs::remove_all(Dir); }
  std::string WriteWave(const std::string& Name, const test::TWaveSpec& S) {
    std::string Path = Dir + "/" + Name;
    auto Bytes = test::MakeWave(S);
    std::ofstream(Path, std::ios::binary)
        .write(reinterpret_cast<const char*>(Bytes.data()), std::streamsize(Bytes.size()));
    return Path;
  }
  // Opens the network device on a free port and connects a peer to it.
  std::unique_ptr<test::TPeer> OpenStream() {
    for (int Try = 0; Try < 5; ++Try) {
      int Port = 20000 + (getpid() * 7 + Try * 131) % 30000;
      if (Sound.OpenDevice(1, std::to_string(Port) + ":L", false)) {
        auto P = std::make_unique<test::TPeer>(Port);
        if (P->Ok)
          return P;
      }
    }
    return nullptr;
  }
  std::vector<int16_t> ReadSamples(test::TPeer& Peer, size_t Count) {
    auto B = Peer.Read(Count * 2, 5s);
    std::vector<int16_t> S(B.size() / 2);
    std::memcpy(S.data(), B.data(), S.size() * 2);
    return S;
  }
  std::string Dir;
  TQuietClient Client;
  TLinuxSound Sound{&Client, nullptr, CreateSoundBackend};
};

TEST_F(EventSounds, SoundDirectoryIsTheInstalledOneWhenItExistsElseBesideTheProgram) {
  EXPECT_EQ(TSoundNotifications::ChooseSoundDir(Dir + "/", "/opt/prog/"), Dir + "/");
  EXPECT_EQ(TSoundNotifications::ChooseSoundDir(Dir + "/missing/", "/opt/prog/"),
            "/opt/prog/sounds/");
  EXPECT_EQ(TSoundNotifications::ChooseSoundDir(Dir + "/missing/", "/opt/prog"),
            "/opt/prog/sounds/");
}

TEST_F(EventSounds, LoadingRefusalsReachOnlyACallerThatAsksForThem) {
  test::TWaveSpec Stereo;
  Stereo.Channels = 2;
  Stereo.Align = 4;
  test::TWaveSpec Fast;
  Fast.Rate = 44100;
  test::TWaveSpec Byte;
  Byte.Bits = 8;
  Byte.Align = 1;
  struct Case {
    std::string File, Text;
  } Cases[] = {{WriteWave("stereo.wav", Stereo), "Not a mono file"},
               {WriteWave("fast.wav", Fast), "Invalid Samplerate"},
               {WriteWave("byte.wav", Byte), "Invalid Bits Pers Sample"}};
  TSoundNotifications N(22050, &Sound, 16, Dir);
  std::string Good = WriteWave("good.wav", test::TWaveSpec{});
  for (auto& C : Cases) {
    N.LoadSound(4, Good, true);
    ASSERT_TRUE(N.HasSound(4));
    try {
      N.LoadSound(4, C.File, true);
      ADD_FAILURE() << C.Text;
    } catch (const Exception& E) {
      EXPECT_EQ(E.Message(), C.Text);
    }
    EXPECT_FALSE(N.HasSound(4)); // the old sound went anyway
    N.LoadSound(4, Good, true);
    EXPECT_NO_THROW(N.LoadSound(4, C.File, false));
    EXPECT_FALSE(N.HasSound(4));
  }
  EXPECT_NO_THROW(N.LoadSound(5, Dir + "/none.wav", false));
  EXPECT_THROW(N.LoadSound(5, Dir + "/none.wav", true), Exception);
  N.LoadSound(6, Good, true);
  N.LoadSound(6, "", true);
  EXPECT_FALSE(N.HasSound(6));
}

TEST_F(EventSounds, EveryDefaultSoundLoadsFromTheSoundsDirectory) {
  // Installed layout: a "sounds" directory beside the program.
  fs::copy(fs::path(ORLAVONIX_SOURCE_DIR) / "data/sounds", fs::path(Dir) / "sounds");
  TSoundNotifications N(22050, &Sound, 16, Dir);
  ASSERT_EQ(N.SoundDir(), Dir + "/sounds/") << "an installed sounds directory takes precedence";
  N.LoadDefaultSounds();
  for (int32_t Event = 1; Event <= EventSoundCount; ++Event)
    EXPECT_TRUE(N.HasSound(Event)) << EventSoundNames[Event - 1].DefaultFile;
  EXPECT_FALSE(N.HasSound(0));
  EXPECT_FALSE(N.HasSound(31));
}

TEST_F(EventSounds, PlayedSoundAppearsInTheOutputAtTheEventSoundGain) {
  test::TWaveSpec S;
  S.Samples.clear();
  for (int I = 0; I < 3000; ++I)
    S.Samples.push_back(int16_t(1001 + (I * 7919) % 60000 - 30000));
  S.Samples[0] = 1001;
  TSoundNotifications N(22050, &Sound, 16, Dir);
  N.LoadSound(8, WriteWave("join.wav", S), true);
  Sound.SetBufferSize(1024);
  Sound.SetSoundsVolume(0.5f);
  auto Peer = OpenStream();
  ASSERT_TRUE(Peer);
  // Nothing plays for event 0, a negative one, or one without a sound.
  N.Play(0);
  N.Play(-3);
  N.Play(9);
  EXPECT_FALSE(Sound.IsPlayingSounds());
  N.Play(8);
  EXPECT_TRUE(Sound.IsPlayingSounds());
  auto Out = ReadSamples(*Peer, 22050);
  auto First = std::find_if(Out.begin(), Out.end(), [](int16_t V) { return V != 0; });
  ASSERT_NE(First, Out.end()) << "the sound never came out";
  size_t At = size_t(First - Out.begin());
  ASSERT_GE(Out.size() - At, S.Samples.size());
  for (size_t I = 0; I < S.Samples.size(); ++I)
    ASSERT_EQ(Out[At + I], int16_t(std::nearbyint(S.Samples[I] * 0.5f))) << I;
  // And then silence again: it played once.
  for (size_t I = At + S.Samples.size(); I < Out.size(); ++I)
    ASSERT_EQ(Out[I], 0) << I;
  EXPECT_TRUE(test::WaitUntil([&] { return !Sound.IsPlayingSounds(); }, 2s));
}

TEST_F(EventSounds, ReplacedSoundStaysIntactWhileStillQueued) {
  test::TWaveSpec Long;
  Long.Samples.assign(22050, 0);
  for (size_t I = 0; I < Long.Samples.size(); ++I)
    Long.Samples[I] = int16_t(1 + I % 5000);
  test::TWaveSpec Other;
  Other.Samples.assign(100, -7);
  TSoundNotifications N(22050, &Sound, 16, Dir);
  N.LoadSound(3, WriteWave("long.wav", Long), true);
  Sound.SetBufferSize(1024);
  Sound.SetSoundsVolume(1.0f);
  auto Peer = OpenStream();
  ASSERT_TRUE(Peer);
  N.Play(3);
  // Replace it at once, several times, while the first is still playing.
  for (int I = 0; I < 3; ++I)
    N.LoadSound(3, WriteWave("other.wav", Other), true);
  auto Out = ReadSamples(*Peer, 2 * 22050);
  auto First = std::find_if(Out.begin(), Out.end(), [](int16_t V) { return V != 0; });
  ASSERT_NE(First, Out.end());
  size_t At = size_t(First - Out.begin());
  ASSERT_GE(Out.size() - At, Long.Samples.size());
  for (size_t I = 0; I < Long.Samples.size(); ++I)
    ASSERT_EQ(Out[At + I], Long.Samples[I]) << I;
}

TEST_F(EventSounds, DisableStopsQueuedSoundsAndKeepsTheLoadedOnes) {
  test::TWaveSpec Long;
  Long.Samples.assign(5 * 22050, 900);
  TSoundNotifications N(22050, &Sound, 16, Dir);
  N.LoadSound(12, WriteWave("long.wav", Long), true);
  Sound.SetBufferSize(1024);
  auto Peer = OpenStream();
  ASSERT_TRUE(Peer);
  N.Play(12);
  EXPECT_TRUE(Sound.IsPlayingSounds());
  N.Disable();
  EXPECT_FALSE(Sound.IsPlayingSounds());
  N.Play(12);
  EXPECT_FALSE(Sound.IsPlayingSounds());
  N.Enable();
  EXPECT_TRUE(N.HasSound(12));
  N.Play(12);
  EXPECT_TRUE(Sound.IsPlayingSounds());
}

} // namespace
} // namespace orlavonix
