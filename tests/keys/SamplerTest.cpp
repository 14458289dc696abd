// The sampler's change reports and queue, without an X server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>

#include "KeyFakes.h"
#include "keys/LinuxKeyPress.h"
#include "protocol/logdebug.h"
#include "support/LogCapture.h"

using namespace orlavonix;
using namespace orlavonix::test;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> Reports(const std::vector<std::pair<int, uint8_t>>& OldBytes,
                                 const std::vector<std::pair<int, uint8_t>>& NewBytes) {
  uint8_t Old[32] = {};
  uint8_t New[32] = {};
  for (auto [I, V] : OldBytes)
    Old[I] = V;
  for (auto [I, V] : NewBytes)
    New[I] = V;
  std::vector<std::string> Out;
  ReportKeymapChanges(Old, New, [&](uint8_t T, uint8_t C, bool P) {
    Out.push_back(std::to_string(T) + ":" + std::to_string(C) + (P ? "+" : "-"));
  });
  return Out;
}

} // namespace

TEST(SamplerReports, KeymapChangesComeInReportOrder) {
  struct TCase {
    std::vector<std::pair<int, uint8_t>> Old, New;
    std::vector<std::string> Expected;
  } Cases[] = {
      {{}, {}, {}},
      {{{4, 0x40}}, {{4, 0x40}}, {}},
      {{}, {{4, 0x40}}, {"0:38+"}},
      {{{4, 0x40}}, {}, {"0:38-"}},
      // Within a byte: presses low bit first, then releases low bit first.
      {{{1, 0b1010'0101}},
       {{1, 0b0101'0110}},
       {"0:9+", "0:12+", "0:14+", "0:8-", "0:13-", "0:15-"}},
      // Bytes in increasing order, whatever mixes they carry.
      {{{31, 0x80}, {0, 0x01}},
       {{31, 0x00}, {0, 0x02}, {16, 0x01}},
       {"0:1+", "0:0-", "0:128+", "0:255-"}},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(Reports(C.Old, C.New), C.Expected);
}

TEST(SamplerReports, PointerButtonsMapToLeftZeroRightOneMiddleTwo) {
  struct TCase {
    unsigned Old, New;
    std::vector<std::string> Expected;
  } Cases[] = {
      {0, 0x100, {"1:0+"}},
      {0, 0x200, {"1:2+"}},
      {0, 0x400, {"1:1+"}},
      {0x700, 0, {"1:0-", "1:2-", "1:1-"}},
      {0x500, 0x200, {"1:0-", "1:2+", "1:1-"}},
      {0x100, 0x100 | 0x1 | 0x800 | 0x1000, {}}, // modifiers and wheel buttons are not sampled
  };
  for (const auto& C : Cases) {
    std::vector<std::string> Out;
    ReportPointerChanges(C.Old, C.New, [&](uint8_t T, uint8_t Code, bool P) {
      Out.push_back(std::to_string(T) + ":" + std::to_string(Code) + (P ? "+" : "-"));
    });
    EXPECT_EQ(Out, C.Expected) << std::hex << C.Old << "->" << C.New;
  }
}

TEST(SamplerQueue, ValuesPackAndQueueWithoutRedundantRepeats) {
  EXPECT_EQ(PackKeyValue(1, 0x26, true), 0x00012601u);
  EXPECT_EQ(PackKeyValue(0, 255, false), 0x0000FF00u);

  // No display: the thread ends at once and leaves the queue to us.
  const char* Saved = std::getenv("DISPLAY");
  std::string SavedDisplay = Saved ? Saved : "";
  unsetenv("DISPLAY");
  std::atomic<int> Notified{0};
  TkbSamplerThread Sampler([&] { ++Notified; });
  if (Saved)
    setenv("DISPLAY", SavedDisplay.c_str(), 1);

  struct TPost {
    uint8_t T, C;
    bool P;
  };
  std::vector<TPost> Posts = {
      {0, 38, true}, {0, 38, true},                 // an equal value waiting: dropped
      {1, 0, true},  {0, 38, false}, {0, 38, true}, // a real new press behind a release: kept
      {0, 38, true},                                // now redundant again
      {1, 0, false},
  };
  for (const auto& P : Posts)
    Sampler.PostKey(P.T, P.C, P.P);
  EXPECT_EQ(Notified.load(), static_cast<int>(Posts.size())) << "every post notifies";
  std::vector<std::string> Taken;
  uint8_t T, C;
  bool P;
  while (Sampler.TakeKey(T, C, P))
    Taken.push_back(std::to_string(T) + ":" + std::to_string(C) + (P ? "+" : "-"));
  EXPECT_EQ(Taken, (std::vector<std::string>{"0:38+", "1:0+", "0:38-", "0:38+", "1:0-"}));
  EXPECT_FALSE(Sampler.TakeKey(T, C, P));
}

TEST(SamplerNoDisplay, LogsAndEndsWhileKeyNamesStillWork) {
  test::TLogCaptureScope Captured;
  unsetenv("DISPLAY");

  TCallLog Calls;
  TFakeKeyClient Client(Calls);
  TFakeKeyProgram Program(Calls);
  {
    TLinuxKeyPress Press(&Client, &Program);
    Press.AssignInterceptor(1);
    ASSERT_TRUE(Press.HasInterceptor());
    auto* X = static_cast<TXLibKeyInterceptor*>(Press.Interceptor());
    ASSERT_NE(X->Sampler(), nullptr);
    auto Deadline = std::chrono::steady_clock::now() + 10s;
    while (!X->Sampler()->Finished() && std::chrono::steady_clock::now() < Deadline)
      X->Sampler()->WaitForPasses(1, 50ms);
    EXPECT_TRUE(X->Sampler()->Finished());
    EXPECT_EQ(Press.KeyName(itMouse, 0), "Mouse btn 0");
    EXPECT_EQ(Press.KeyName(itMouse, 1), "Mouse btn 1");
    EXPECT_EQ(Press.KeyName(itMouse, 3), "Mouse btn 3");
    EXPECT_EQ(Press.KeyName(itMouse, 4), "Unknown key");
    EXPECT_EQ(Press.KeyName(itKeyboard, 38), "Unknown key");
    EXPECT_EQ(Press.KeyName(itOther, 1), "Unknown key");
    Press.AssignInterceptor(0);
    EXPECT_FALSE(Press.HasInterceptor());
  }
  EXPECT_EQ(Captured->Joined(),
            (std::vector<std::string>{"TkbSamplerThread.Execute|unable to open display"}));
  EXPECT_TRUE(Program.Errors.empty());
}
