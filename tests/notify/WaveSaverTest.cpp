// The conversation recorder writing real files: header fields read back and
// checked by sox, the block count, the mix of both streams, and write errors.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>

#include "support/LogCapture.h"
#include "audio/Subprocess.h"
#include "base/Bytes.h"
#include "base/Exceptions.h"
#include "notify/WaveSaver.h"

namespace orlavonix {
namespace {

using namespace std::chrono_literals;
using test::WaitUntil;
namespace fs = std::filesystem;

constexpr int32_t N = TWaveSaver::BlockSamples;

std::vector<uint8_t> ReadFile(const std::string& Path) {
  std::ifstream F(Path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(F), {});
}

class Recorder : public ::testing::Test {
protected:
  void SetUp() override {
    char Tmpl[] = "/tmp/orlavonix-rec-XXXXXX";
    ASSERT_NE(mkdtemp(Tmpl), nullptr);
    Dir = Tmpl;
    File = Dir + "/talk.wav";
    Saver = std::make_unique<TWaveSaver>();
  }
  void TearDown() override {
    Saver.reset();
    fs::remove_all(Dir);
  }
  void Start() {
    Saver->StartRecording(TFileStream::Create(File));
    ASSERT_TRUE(WaitUntil([&] { return Saver->State() == TWaveSaver::wsRecording; }, 2s));
  }
  void StopAndWait() {
    Saver->StopRecording();
    ASSERT_TRUE(WaitUntil([&] { return Saver->State() == TWaveSaver::wsIdle; }, 2s));
  }
  bool WaitForSize(int64_t Bytes) {
    return WaitUntil([&] { return fs::exists(File) && int64_t(fs::file_size(File)) >= Bytes; }, 3s);
  }
  // What sox reads from the file's header.
  std::string SoxInfo(const std::string& Option) {
    std::string Out = Dir + "/sox.txt";
    test::TProcess P({"sox", "--i", Option, File}, {}, Out);
    EXPECT_EQ(P.Wait(10s), 0) << "sox --i " << Option;
    std::ifstream F(Out);
    std::string Line;
    std::getline(F, Line);
    return Line;
  }
  void ExpectHeader(const std::vector<uint8_t>& F, uint32_t DataBytes) {
    ASSERT_GE(F.size(), 44u);
    TByteReader R(F);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(R.Take(4).data()), 4), "RIFF");
    EXPECT_EQ(R.U32(), 36 + DataBytes);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(R.Take(4).data()), 4), "WAVE");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(R.Take(4).data()), 4), "fmt ");
    EXPECT_EQ(R.U32(), 16u);
    EXPECT_EQ(R.U16(), 1); // PCM
    EXPECT_EQ(R.U16(), 1); // mono
    EXPECT_EQ(R.U32(), 22050u);
    EXPECT_EQ(R.U32(), 44100u);
    EXPECT_EQ(R.U16(), 2);
    EXPECT_EQ(R.U16(), 16);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(R.Take(4).data()), 4), "data");
    EXPECT_EQ(R.U32(), DataBytes);
  }
  std::string Dir, File;
  std::unique_ptr<TWaveSaver> Saver;
};

TEST_F(Recorder, StoppedBeforeAnyBlockLeavesAnEmptyWaveFile) {
  Start();
  StopAndWait();
  auto F = ReadFile(File);
  EXPECT_EQ(F.size(), 44u);
  ExpectHeader(F, 0);
  EXPECT_EQ(SoxInfo("-s"), "0");
}

TEST_F(Recorder, BlocksAreTheClippedSumOfBothStreams) {
  for (int Blocks : {1, 3}) {
    SCOPED_TRACE(Blocks);
    Start();
    // The output stream runs one block ahead: the writer keeps one back.
    std::vector<std::vector<int16_t>> Out(Blocks + 1, std::vector<int16_t>(N));
    std::vector<std::vector<int16_t>> Mic(Blocks, std::vector<int16_t>(N));
    for (int B = 0; B <= Blocks; ++B)
      for (int I = 0; I < N; ++I)
        Out[B][I] = int16_t((I * 37 + B * 1000) % 60000 - 30000);
    for (int B = 0; B < Blocks; ++B)
      for (int I = 0; I < N; ++I)
        Mic[B][I] = int16_t((I * 53 + B * 7) % 50000 - 25000);
    const float Gain = 1.5f;
    // Handed over in pieces of an engine block, as the backend does.
    auto Feed = [&](const std::vector<int16_t>& Block, bool IsMic) {
      for (int At = 0; At < N; At += 2048) {
        int K = std::min(2048, N - At);
        if (IsMic)
          Saver->AddInput(Block.data() + At, K, Gain);
        else
          Saver->AddOutput(Block.data() + At, K);
      }
    };
    Feed(Out[0], false);
    for (int B = 0; B < Blocks; ++B) {
      Feed(Out[B + 1], false);
      Feed(Mic[B], true);
      ASSERT_TRUE(WaitForSize(44 + int64_t(B + 1) * 22050));
    }
    StopAndWait();
    auto F = ReadFile(File);
    ASSERT_EQ(F.size(), 44u + size_t(Blocks) * 22050);
    ExpectHeader(F, uint32_t(Blocks) * 22050);
    int Clipped = 0;
    for (int B = 0; B < Blocks; ++B)
      for (int I = 0; I < N; ++I) {
        // The microphone sample is scaled and clipped first, then the sum.
        long Scaled = std::clamp(std::lrint(Mic[B][I] * Gain), -32768L, 32767L);
        long Sum = Out[B][I] + Scaled;
        long Want = std::clamp(Sum, -32768L, 32767L);
        Clipped += Want != Sum;
        ASSERT_EQ(GetLE<int16_t>(&F[44 + (size_t(B) * N + I) * 2]), Want) << B << ":" << I;
      }
    EXPECT_GT(Clipped, 0); // the table reaches both limits
    EXPECT_EQ(SoxInfo("-c"), "1");
    EXPECT_EQ(SoxInfo("-r"), "22050");
    EXPECT_EQ(SoxInfo("-b"), "16");
    EXPECT_EQ(SoxInfo("-s"), std::to_string(Blocks * N));
  }
}

TEST_F(Recorder, SilentMicrophoneLeavesOnlyWhatWasPlayed) {
  Start();
  std::vector<int16_t> Out(N, 1234);
  Saver->AddOutput(Out.data(), N);
  Saver->AddOutput(Out.data(), N);
  Saver->AddInput(nullptr, N, 3.0f);
  ASSERT_TRUE(WaitForSize(44 + 22050));
  StopAndWait();
  auto F = ReadFile(File);
  ASSERT_EQ(F.size(), 44u + 22050);
  for (int I = 0; I < N; ++I)
    ASSERT_EQ(GetLE<int16_t>(&F[44 + I * 2]), 1234);
}

TEST_F(Recorder, SecondStartIsRefusedAndSamplesOutsideARecordingAreIgnored) {
  std::vector<int16_t> Out(N, 5);
  // Idle: nothing is collected.
  Saver->AddOutput(Out.data(), N);
  Saver->AddOutput(Out.data(), N);
  Saver->AddInput(Out.data(), N, 1.0f);
  Start();
  try {
    Saver->StartRecording(TFileStream::Create(Dir + "/other.wav"));
    ADD_FAILURE();
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "Already recording");
  }
  StopAndWait();
  EXPECT_EQ(fs::file_size(File), 44u);
}

TEST_F(Recorder, WriteErrorEndsTheRecordingWithAHeaderForWhatWasWritten) {
  // A file size limit makes the second block's write fail as a full disk would.
  struct sigaction Ignore {
  }, Old{};
  Ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &Ignore, &Old);
  rlimit Limit{}, Saved{};
  getrlimit(RLIMIT_FSIZE, &Saved);
  Limit.rlim_cur = 44 + 22050 + 1000;
  Limit.rlim_max = Saved.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Limit), 0);
  Start();
  std::vector<int16_t> Block(N, 77);
  for (int B = 0; B < 3; ++B)
    Saver->AddOutput(Block.data(), N);
  for (int B = 0; B < 2; ++B)
    Saver->AddInput(Block.data(), N, 1.0f);
  // The recorder ends by itself.
  bool Ended = WaitUntil(
      [&] { return fs::file_size(File) > 44 && Saver->State() == TWaveSaver::wsIdle; }, 3s);
  setrlimit(RLIMIT_FSIZE, &Saved);
  sigaction(SIGXFSZ, &Old, nullptr);
  ASSERT_TRUE(Ended);
  auto F = ReadFile(File);
  EXPECT_EQ(F.size(), 44u + 22050);
  ExpectHeader(F, 22050);
  // A new recording can start afterwards.
  Start();
  StopAndWait();
}

TEST_F(Recorder, DestroyingTheRecorderFinishesARunningRecording) {
  Start();
  std::vector<int16_t> Block(N, -9);
  Saver->AddOutput(Block.data(), N);
  Saver->AddOutput(Block.data(), N);
  Saver->AddInput(Block.data(), N, 1.0f);
  ASSERT_TRUE(WaitForSize(44 + 22050));
  Saver.reset();
  ExpectHeader(ReadFile(File), 22050);
}

TEST(RecordingFile, CreateFailureNamesTheFileAndReason) {
  try {
    TFileStream::Create("/nonexistent-dir/x.wav");
    ADD_FAILURE();
  } catch (const Exception& E) {
    EXPECT_NE(E.Message().find("/nonexistent-dir/x.wav"), std::string::npos);
  }
}

} // namespace
} // namespace orlavonix
