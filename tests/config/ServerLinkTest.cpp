#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "ConfigTestSupport.h"
#include "config/ServerLink.h"
#include "support/ChildProcess.h"

using namespace orlavonix;
using namespace orlavonix::test;
namespace fs = std::filesystem;

namespace {

struct TLinkCase {
  const char* Link;
  const char* Address;
  const char* Nickname;
  const char* LoginName = "";
  const char* Password = "";
  const char* Channel = "";
  const char* SubChannel = "";
  const char* ChannelPassword = "";
};

TEST(ServerLink, ParsesLinks) {
  const std::string Long30 = "abcdefghijklmnopqrstuvwxyz0123";
  const std::string Link30 = "h?nickname=" + Long30;
  const TLinkCase Cases[] = {
      {"ORLAVONIX://Host:8767?NickName=Ann?Channel=Lobby", "Host:8767", "Ann", "", "", "Lobby"},
      {"ORLAVONIX://Host:8767/?NickName=Ann?Channel=Lobby", "Host:8767", "Ann", "", "", "Lobby"},
      {"OrlaVonix://Host:8767/?NickName=Ann?Channel=Lobby", "Host:8767", "Ann", "", "", "Lobby"},
      {"host/nickname=Ann", "host", "Ann"},
      {"host?subchannel=Talk", "host", "Def", "", "", "", "Talk"},
      {"host?nickname=Ann&password=x", "host", "Ann&password=x"},
      {"host?nickname=A%20B%zz", "host", "A B%zz"},
      {"host?nickname=a+b%41%6a%4", "host", "a+bAj%4"},
      {"host?channelpassword=pw?subchannel=S?channel=C", "host", "Def", "", "", "C", "S", "pw"},
      {"h:1?LOGINNAME=joe?password=Secret", "h:1", "Def", "joe", "Secret"},
      {"h?nickname=?channel=x", "h", "Def", "", "", "x"},
      {"orlavonix:/h?nickname=n", "orlavonix:", "n"},
      {"h ?nickname=x", "h ", "x"},
      {"", "", "Def"},
      {"a/b/c?nickname=z", "a", "z"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Link);
    TConnectInfo I;
    std::memset(&I, 0x5A, sizeof I);
    EXPECT_TRUE(ParseServerLink(C.Link, I, "Def"));
    EXPECT_EQ(I.GetLabel(), "");
    EXPECT_EQ(I.GetServerAddress(), C.Address);
    EXPECT_EQ(I.GetNickname(), C.Nickname);
    EXPECT_EQ(I.GetLoginName(), C.LoginName);
    EXPECT_EQ(I.GetPassword(), C.Password);
    EXPECT_EQ(I.GetChannel(), C.Channel);
    EXPECT_EQ(I.GetSubChannel(), C.SubChannel);
    EXPECT_EQ(I.GetChannelPassword(), C.ChannelPassword);
    EXPECT_EQ(I.Anonymous, std::string(C.LoginName).empty() ? 1 : 0);
    EXPECT_EQ(I.AllowServerNickname, 1);
    EXPECT_EQ(I.AutoReconnect, 1);
    // Unused bytes of every field are zero.
    EXPECT_EQ(I.Label[1], 0);
    EXPECT_EQ(I.Password[29], 0);
  }
  TConnectInfo I;
  ParseServerLink(Link30, I, "Def");
  EXPECT_EQ(I.GetNickname(), Long30.substr(0, 29));
  ParseServerLink("h/" + std::string(300, 'a'), I);
  EXPECT_EQ(I.GetServerAddress(), "h");
  ParseServerLink(std::string(300, 'a'), I);
  EXPECT_EQ(I.GetServerAddress(), std::string(255, 'a'));
}

TEST(ServerAddress, SplitsHostAndPort) {
  struct TCase {
    const char* Address;
    const char* Host;
    int32_t Port; // -1: invalid
  } Cases[] = {
      {"10.0.0.5:9000", "10.0.0.5", 9000},
      {"10.0.0.5", "10.0.0.5", 8767},
      {"10.0.0.5:", "10.0.0.5", -1},
      {"10.0.0.5:abc", "10.0.0.5", -1},
      {"h:1:2", "h", -1},
      {"h:65535", "h", 65535},
      {"h:65536", "h", -1},
      {"h:-1", "h", -1},
      {"h:99999999999", "h", -1},
      {":80", "", 80},
      {"", "", 8767},
      {"h: 80", "h", -1},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Address);
    EXPECT_EQ(HostOfAddress(C.Address), C.Host);
    if (C.Port >= 0) {
      EXPECT_EQ(PortOfAddress(C.Address), C.Port);
      continue;
    }
    try {
      PortOfAddress(C.Address);
      ADD_FAILURE() << "no error";
    } catch (const EConvertError& E) {
      std::string A = C.Address;
      EXPECT_EQ(E.Message(), A + " has an invalid port (" + A.substr(A.find(':') + 1) + ")");
    }
  }
}

TEST(CommandLine, OptionsAndStartupLink) {
  using V = std::vector<std::string>;
  struct TCase {
    V Args;
    bool Debug;
    const char* Link;
  } Cases[] = {
      {{}, false, ""},
      {{"-d"}, true, ""},
      {{"-D"}, true, ""},
      {{"--DEBUG"}, true, ""},
      {{"--debug", "host"}, true, "host"},
      {{"-dd"}, false, ""},
      {{"-x", "a", "b"}, false, "a b"},
      {{"-x", "-d", "a"}, true, "a"},
      {{"a", "-d"}, false, "a -d"},
      {{"-d", "orlavonix://h", "?nickname=x"}, true, "orlavonix://h ?nickname=x"},
      {{"", "-d"}, false, " -d"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(testing::PrintToString(C.Args));
    EXPECT_EQ(HasOption(C.Args, 'd', "DEBUG"), C.Debug);
    EXPECT_EQ(GetServerParameter(C.Args), C.Link);
  }
  // The joined words keep the blank before the question mark in the address.
  TConnectInfo I;
  ParseServerLink(GetServerParameter({"-d", "orlavonix://h", "?nickname=x"}), I);
  EXPECT_EQ(I.GetServerAddress(), "h ");
  EXPECT_EQ(I.GetNickname(), "x");
}

TEST(UserData, HiddenFolderInHomeOrTmp) {
  TTempDir Home;
  EXPECT_EQ(UserDataDirIn(Home.Path().string()), Home.Path().string() + "/.orlavonix2/");
  EXPECT_TRUE(fs::is_directory(Home / ".orlavonix2"));
  EXPECT_EQ(UserDataDirIn(Home.Path().string()), Home.Path().string() + "/.orlavonix2/")
      << "an existing folder is used as it is";

  EXPECT_EQ(UserDataDirIn(std::nullopt), "/tmp/");
  EXPECT_EQ(UserDataDirIn((Home / "missing").string()), "/tmp/");
  TTempDir Other;
  WriteFileBytes(Other / ".orlavonix2", {1});
  EXPECT_EQ(UserDataDirIn(Other.Path().string()), "/tmp/") << "a file in the way";
}

TEST(UserData, HomeComesFromTheUserDatabaseNotTheEnvironment) {
  struct passwd* Nobody = ::getpwnam("nobody");
  if (!Nobody || ::getuid() != 0)
    GTEST_SKIP() << "needs root and the user nobody";
  TTempDir FakeHome;
  fs::permissions(FakeHome.Path(), fs::perms::all);
  const std::string Expected = fs::is_directory(Nobody->pw_dir)
                                   ? std::string(Nobody->pw_dir) + "/.orlavonix2/"
                                   : std::string("/tmp/");
  int Code = RunInChild([&] {
    if (::setgid(Nobody->pw_gid) != 0 || ::setuid(Nobody->pw_uid) != 0)
      return 2;
    ::setenv("HOME", FakeHome.Path().c_str(), 1);
    return UserDataDir() == Expected ? 0 : 1;
  });
  EXPECT_EQ(Code, 0);
  EXPECT_FALSE(fs::exists(FakeHome / ".orlavonix2"));
}

} // namespace
