#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <unistd.h>

#include "protocol/logdebug.h"

using namespace orlavonix;
namespace fs = std::filesystem;

namespace {
class LogFile : public testing::Test {
protected:
  fs::path Dir =
      fs::temp_directory_path() / ("orlalog-" + std::to_string(getpid()) + "-" +
                                   testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::path File = Dir / "ZQClient.log";
  void SetUp() override { fs::create_directories(Dir); }
  void TearDown() override { fs::remove_all(Dir); }

  std::vector<std::string> Lines() {
    std::ifstream In(File, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    std::vector<std::string> Out;
    std::string All = S.str(), Line;
    size_t Pos = 0, Next;
    while ((Next = All.find("\r\n", Pos)) != std::string::npos) {
      Out.push_back(All.substr(Pos, Next - Pos));
      Pos = Next + 2;
    }
    EXPECT_EQ(Pos, All.size()) << "every line ends in CR LF";
    return Out;
  }
  static constexpr TLogKinds AllKinds = LogSet({lkDebug, lkWarning, lkError});
  static constexpr TLogLevels AllLevels = LogSet({llAll});
};
} // namespace

TEST_F(LogFile, LineFormatHasSixCommaSeparatedFields) {
  {
    TClientLogFile Log(File.string(), AllKinds, AllLevels);
    Log.Open();
    Log.Log(lkError, llAll, "TClient.CloseCon", "enter");
    Log.Log(lkDebug, llAll, "TClient.CloseCon", "enter");
  }
  auto L = Lines();
  ASSERT_EQ(L.size(), 5u); // two lines and the three-line footer
  const std::regex Re(
      R"(^\d\d-\d\d-\d\d \d\d:\d\d:\d\d,(\d+),(ERROR|DEBUG),All,TClient\.CloseCon,enter$)");
  std::smatch M;
  ASSERT_TRUE(std::regex_match(L[0], M, Re)) << L[0];
  EXPECT_EQ(M[1], std::to_string(getpid()));
  EXPECT_EQ(M[2], "ERROR");
  ASSERT_TRUE(std::regex_match(L[1], M, Re)) << L[1];
  EXPECT_EQ(L[2], std::string(63, '-'));
  EXPECT_TRUE(std::regex_match(
      L[3],
      std::regex(R"(^--------------- log ended at \d\d-\d\d-\d\d \d\d:\d\d --------------$)")))
      << L[3];
}

TEST_F(LogFile, BufferedLinesAreFilteredByTheAppliedLevel) {
  {
    TClientLogFile Log(File.string(), AllKinds, AllLevels);
    Log.WriteHeader();
    Log.Log(lkDebug, llAll, "Startup", "loading");
    Log.Log(lkError, llAll, "Startup", "broken");
    EXPECT_FALSE(fs::exists(File)) << "nothing is written while buffering";
    Log.SetOptions(LogSet({lkError}), AllLevels); // debug level 1
    Log.Open();
    Log.Log(lkDebug, llAll, "Later", "dropped");
    Log.Log(lkWarning, llAll, "Later", "dropped too");
  }
  auto L = Lines();
  ASSERT_EQ(L.size(), 3u + 1 + 3);
  EXPECT_EQ(L[0], std::string(63, '-'));
  EXPECT_TRUE(std::regex_match(
      L[1],
      std::regex(R"(^-------------- log started at \d\d-\d\d-\d\d \d\d:\d\d -------------$)")))
      << L[1];
  EXPECT_NE(L[3].find(",ERROR,All,Startup,broken"), std::string::npos) << L[3];
}

TEST_F(LogFile, DisabledWritesNothingNotEvenHeaderOrFooter) {
  {
    TClientLogFile Log(File.string(), AllKinds, AllLevels);
    Log.WriteHeader();
    Log.Log(lkError, llAll, "Startup", "x");
    Log.Disable();
    Log.Log(lkError, llAll, "Startup", "y");
  }
  EXPECT_FALSE(fs::exists(File));
}

TEST_F(LogFile, FmtEnteredLeftAndMemory) {
  {
    TClientLogFile Log(File.string(), AllKinds, AllLevels);
    Log.Open();
    Log.Fmt(lkDebug, llAll, "TClient.Connect", "host %1 resolved to %2", "example.org",
            "192.0.2.7");
    Log.LogEnteredFmt(lkDebug, llAll, "Ctx", "n=%1", {3});
    Log.LogLeft(lkDebug, llAll, "Ctx", "done");
    Log.LogMemory(lkDebug, llAll, "Ctx");
  }
  auto L = Lines();
  ASSERT_GE(L.size(), 4u);
  EXPECT_TRUE(L[0].ends_with(",TClient.Connect,host example.org resolved to 192.0.2.7")) << L[0];
  EXPECT_TRUE(L[1].ends_with(",Ctx, Entered n=3")) << L[1];
  EXPECT_TRUE(L[2].ends_with(",Ctx, Left done")) << L[2];
  EXPECT_TRUE(L[3].ends_with(",Ctx, !!! LogMemory not supported yet !!!")) << L[3];
}

TEST(LogFilter, KindsLevelsAndAll) {
  TNullLog Log;
  Log.SetOptions(LogSet({lkError}), LogSet({llAll}));
  EXPECT_TRUE(Log.IsEnabled(lkError, llProcedureInfo));
  EXPECT_FALSE(Log.IsEnabled(lkDebug, llAll));
  Log.SetOptions(LogSet({lkAll}), LogSet({llUsefull}));
  EXPECT_TRUE(Log.IsEnabled(lkDebug, llUsefull));
  EXPECT_FALSE(Log.IsEnabled(lkDebug, llAll)) << "level All is a set member, not a wildcard here";
}

TEST_F(LogFile, UnwritablePathIsSwallowed) {
  TClientLogFile Log((Dir / "missing" / "x.log").string(), AllKinds, AllLevels);
  Log.Open();
  Log.Log(lkError, llAll, "Ctx", "goes nowhere");
  EXPECT_FALSE(fs::exists(Dir / "missing"));
}
