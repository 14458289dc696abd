// The two stored forms of the bindings: the settings section and the
// exchange file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "KeyFakes.h"
#include "config/ConfigFile.h"
#include "keys/ClientKeyPressBase.h"
#include "protocol/logdebug.h"
#include "support/LogCapture.h"

using namespace orlavonix;
using namespace orlavonix::test;
namespace fs = std::filesystem;

namespace {

// Collects log lines as "context|text".

std::vector<uint8_t> ReadFile(const fs::path& P) {
  std::ifstream In(P, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(In)), {});
}
void WriteFile(const fs::path& P, const std::vector<uint8_t>& Bytes) {
  std::ofstream Out(P, std::ios::binary);
  Out.write(reinterpret_cast<const char*>(Bytes.data()),
            static_cast<std::streamsize>(Bytes.size()));
}

std::vector<uint8_t> KbnHeader(uint8_t Major, uint8_t Minor, int32_t Count,
                               uint32_t Signature = 0xBC13FDA7) {
  TByteWriter W;
  W.U32(Signature).U8(Major).U8(Minor).I32(Count);
  return W.Data();
}
void Append(std::vector<uint8_t>& To, const TKeyCombo& C) {
  TByteWriter W;
  C.SaveToStream(W);
  To.insert(To.end(), W.Data().begin(), W.Data().end());
}

class KeyFiles : public testing::Test {
protected:
  TCallLog Calls;
  TFakeKeyClient Client{Calls};
  TFakeKeyProgram Program{Calls};
  test::TLogCapture* Log = nullptr;
  fs::path Dir =
      fs::temp_directory_path() / ("orlakeys-" + std::to_string(getpid()) + "-" +
                                   testing::UnitTest::GetInstance()->current_test_info()->name());

  void SetUp() override {
    fs::create_directories(Dir);
    Log = &test::TLogCapture::Install();
    Client.Connected = false;
  }
  void TearDown() override {
    SetGlobalLog(std::make_unique<TNullLog>());
    fs::remove_all(Dir);
  }

  // Four bindings that differ in every field.
  void Fill(TClientKeyPressBase& P) {
    P.AddCombo(MakeCombo(Kb(10), NoKey(), NoKey(), 40));
    P.AddCombo(MakeCombo(Kb(11), Mouse(2), NoKey(), 1, "Ann\r\nBob"));
    P.AddCombo(MakeCombo(Mouse(0), Kb(12), Kb(13), 20, "Lobby\r\npw"));
    P.AddCombo(MakeCombo(Kb(14), NoKey(), NoKey(), 50, "120"));
  }
  static std::vector<std::string> Describe(const TClientKeyPressBase& P) {
    std::vector<std::string> K, A, Out;
    P.ListCombos(K, A);
    for (size_t I = 0; I < K.size(); ++I)
      Out.push_back(K[I] + " = " + A[I]);
    return Out;
  }
};

} // namespace

TEST_F(KeyFiles, SectionSaveThenLoadKeepsTheOrderAndPushToTalk) {
  TTestKeyPress A(&Client, &Program);
  Fill(A);
  A.SetPushToTalkKey(itMouse, 3);
  std::vector<uint8_t> Section;
  A.SaveToSection(Section);

  // The stored layout: push-to-talk key, count, records last to first.
  ASSERT_GE(Section.size(), 36u);
  EXPECT_EQ(Section[0], itMouse);
  EXPECT_EQ(Section[1], 3);
  EXPECT_EQ(GetLE<int32_t>(Section.data() + 32), 4);
  EXPECT_EQ(Section[36], itKeyboard);
  EXPECT_EQ(Section[37], 14) << "the last binding is written first";

  TTestKeyPress B(&Client, &Program);
  B.LoadFromSection(&Section);
  EXPECT_EQ(Describe(B), Describe(A));
  EXPECT_EQ(B.PushToTalkKey().InputType, itMouse);
  EXPECT_EQ(B.PushToTalkKey().KeyCode, 3);

  // Many rounds: the order never flips.
  for (int Round = 0; Round < 3; ++Round) {
    std::vector<uint8_t> Again;
    B.SaveToSection(Again);
    EXPECT_EQ(Again, Section);
    B.LoadFromSection(&Again);
  }
  EXPECT_EQ(Describe(B), Describe(A));
}

TEST_F(KeyFiles, SettingsFileKeepsBindingsAndOrderAcrossRestarts) {
  const std::string File = (Dir / "Orlavonix.Conf").string();
  std::vector<std::string> Expected;
  {
    TConfigFile Config(File);
    TTestKeyPress A(&Client, &Program);
    Fill(A);
    A.SetPushToTalkKey(itKeyboard, 64);
    A.SaveToConfig(Config);
    ASSERT_TRUE(Config.Save());
    Expected = Describe(A);
  }
  for (int Start = 0; Start < 3; ++Start) {
    TConfigFile Config(File);
    ASSERT_NE(Config.GetSection("actions v2.0 BETA", false), nullptr);
    TTestKeyPress B(&Client, &Program);
    B.LoadFromConfig(Config);
    EXPECT_EQ(Describe(B), Expected) << "start " << Start;
    EXPECT_EQ(B.PushToTalkKey().KeyCode, 64);
    B.SaveToConfig(Config);
    ASSERT_TRUE(Config.Save());
  }
  TConfigFile Empty((Dir / "other.conf").string());
  TTestKeyPress C(&Client, &Program);
  C.AssignInterceptor(1);
  Fill(C);
  C.SetPushToTalkKey(itKeyboard, 64);
  C.LoadFromConfig(Empty);
  EXPECT_EQ(C.ComboCount(), 0);
  EXPECT_EQ(C.PushToTalkKeyName(), "None");
  EXPECT_EQ(C.PushToTalkKey().InputType, 255);
  EXPECT_EQ(Empty.Count(), 0u) << "loading creates no section";
}

TEST_F(KeyFiles, SectionIsOverwrittenFromItsStartAndNeverShortened) {
  TTestKeyPress A(&Client, &Program);
  Fill(A);
  std::vector<uint8_t> Section;
  A.SaveToSection(Section);
  const size_t Long = Section.size();
  A.ClearCombos();
  A.AddCombo(MakeCombo(Kb(99), NoKey(), NoKey(), 22));
  A.SaveToSection(Section);
  EXPECT_EQ(Section.size(), Long);
  TTestKeyPress B(&Client, &Program);
  B.LoadFromSection(&Section);
  EXPECT_EQ(Describe(B), (std::vector<std::string>{"k99 = switch to next channel"}));
}

TEST_F(KeyFiles, MissingSectionGivesNoBindingsAndPushToTalkNone) {
  TTestKeyPress A(&Client, &Program);
  A.AssignInterceptor(1);
  Fill(A);
  A.SetPushToTalkKey(itKeyboard, 50);
  A.LoadFromSection(nullptr);
  EXPECT_EQ(A.ComboCount(), 0);
  EXPECT_EQ(A.PushToTalkKey().InputType, 255);
  EXPECT_EQ(A.PushToTalkKeyName(), "None");
}

TEST_F(KeyFiles, BadSectionRaisesAndKeepsWhatWasRead) {
  TTestKeyPress A(&Client, &Program);
  Fill(A);
  std::vector<uint8_t> Section;
  A.SaveToSection(Section);
  // Spoil the action of the third record in the file (the second binding).
  size_t Third = 36;
  for (int I = 0; I < 2; ++I) {
    TByteReader R(Section.data() + Third, Section.size() - Third);
    TKeyCombo Skip;
    Skip.LoadFromStream(R);
    Third += R.Position();
  }
  PutLE<int32_t>(Section.data() + Third + 96, 5);
  TTestKeyPress B(&Client, &Program);
  try {
    B.LoadFromSection(&Section);
    ADD_FAILURE() << "accepted";
  } catch (const EKeyCombo& E) {
    EXPECT_STREQ(E.what(), "Invalid action");
  }
  EXPECT_EQ(Describe(B), (std::vector<std::string>{"m0 + k12 + k13 = switch to channel Lobby",
                                                   "k14 = set volume to 120 %"}));
  // Every shorter section fails with a read error, never beyond its end.
  for (size_t Len = 0; Len < 36; ++Len) {
    std::vector<uint8_t> Cut(Section.begin(), Section.begin() + static_cast<long>(Len));
    TTestKeyPress C(&Client, &Program);
    EXPECT_THROW(C.LoadFromSection(&Cut), EReadError) << Len;
  }
}

TEST_F(KeyFiles, ExportThenImportKeepsTheOrder) {
  TTestKeyPress A(&Client, &Program);
  Fill(A);
  A.SetPushToTalkKey(itKeyboard, 66);
  const fs::path File = Dir / "keybinds.kbn";
  A.ExportKeys(File.string());
  auto Bytes = ReadFile(File);
  ASSERT_GE(Bytes.size(), 10u);
  EXPECT_EQ(std::vector<uint8_t>(Bytes.begin(), Bytes.begin() + 6),
            (std::vector<uint8_t>{0xA7, 0xFD, 0x13, 0xBC, 1, 2}));
  EXPECT_EQ(GetLE<int32_t>(Bytes.data() + 6), 4);
  EXPECT_EQ(Bytes[10 + 1], 14) << "the last binding is written first";

  TTestKeyPress B(&Client, &Program);
  B.SetPushToTalkKey(itMouse, 1);
  B.AddCombo(MakeCombo(Kb(1), NoKey(), NoKey(), 22));
  B.ImportKeys(File.string());
  EXPECT_EQ(Describe(B), Describe(A)) << "import replaces the list and keeps the order";
  EXPECT_EQ(B.PushToTalkKey().InputType, itMouse) << "push-to-talk is not part of the file";
  EXPECT_TRUE(Program.Errors.empty());

  B.ExportKeys(File.string());
  EXPECT_EQ(ReadFile(File), Bytes);
}

TEST_F(KeyFiles, ImportChecksSignatureAndMajorVersion) {
  TKeyCombo One;
  One.SetData(Kb(20), NoKey(), NoKey(), 22, "");
  struct TCase {
    std::vector<uint8_t> Header;
    const char* Error;
  } Cases[] = {
      {KbnHeader(0, 0, 1), nullptr},
      {KbnHeader(1, 2, 1), nullptr},
      {KbnHeader(1, 255, 1), nullptr},
      {KbnHeader(2, 0, 1), "Wrong File version"},
      {KbnHeader(255, 2, 1), "Wrong File version"},
      {KbnHeader(1, 2, 1, 0xBC13FDA8), "This is not a keybindinds file"},
      {KbnHeader(2, 2, 1, 0), "This is not a keybindinds file"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(testing::Message() << int(C.Header[4]) << "." << int(C.Header[5]));
    auto Bytes = C.Header;
    Append(Bytes, One);
    WriteFile(Dir / "x.kbn", Bytes);
    TTestKeyPress P(&Client, &Program);
    P.AddCombo(MakeCombo(Kb(1), NoKey(), NoKey(), 40));
    Program.Errors.clear();
    P.ImportKeys((Dir / "x.kbn").string());
    if (C.Error) {
      EXPECT_EQ(Program.Errors, (std::vector<std::string>{C.Error}));
      EXPECT_EQ(Describe(P), (std::vector<std::string>{"k1 = Toggle away"})) << "nothing changes";
    } else {
      EXPECT_TRUE(Program.Errors.empty());
      EXPECT_EQ(Describe(P), (std::vector<std::string>{"k20 = switch to next channel"}));
    }
  }
}

TEST_F(KeyFiles, ImportStopsAtABadRecordKeepingThoseBeforeIt) {
  // Bindings in the file: 22, 23, then one with action 5, then 40.
  auto Bytes = KbnHeader(1, 2, 4);
  for (int32_t Action : {22, 23, 5, 40}) {
    TKeyCombo C;
    C.SetData(Kb(static_cast<uint8_t>(Action)), NoKey(), NoKey(), Action, "");
    Append(Bytes, C);
  }
  WriteFile(Dir / "bad.kbn", Bytes);
  TTestKeyPress P(&Client, &Program);
  P.ImportKeys((Dir / "bad.kbn").string());
  EXPECT_EQ(P.ComboCount(), 2);
  EXPECT_EQ(Program.Errors, (std::vector<std::string>{"There was an error importing keybindings"}));
  EXPECT_EQ(Log->Joined(),
            (std::vector<std::string>{
                "TClientKeyPressBase.ImportKeys(|Exception EKeyCombo: Invalid action"}));
}

TEST_F(KeyFiles, ImportOfTruncatedOrMissingFilesReportsAnError) {
  TTestKeyPress A(&Client, &Program);
  Fill(A);
  A.ExportKeys((Dir / "ok.kbn").string());
  auto Bytes = ReadFile(Dir / "ok.kbn");
  for (size_t Len = 0; Len < Bytes.size(); Len += (Len < 16 ? 1 : 7)) {
    WriteFile(Dir / "cut.kbn",
              std::vector<uint8_t>(Bytes.begin(), Bytes.begin() + static_cast<long>(Len)));
    TTestKeyPress P(&Client, &Program);
    Program.Errors.clear();
    P.ImportKeys((Dir / "cut.kbn").string());
    ASSERT_EQ(Program.Errors.size(), 1u) << Len;
    EXPECT_EQ(Program.Errors[0], "There was an error importing keybindings") << Len;
  }
  Program.Errors.clear();
  TTestKeyPress P(&Client, &Program);
  P.ImportKeys((Dir / "does-not-exist.kbn").string());
  EXPECT_EQ(Program.Errors, (std::vector<std::string>{"There was an error importing keybindings"}));
}

TEST_F(KeyFiles, ImportRenamesKeysForThisKeyboardWhenAnInterceptorExists) {
  TTestKeyPress A(&Client, &Program);
  A.AddCombo(MakeCombo(Kb(38), Mouse(2), NoKey(), 40));
  A.ExportKeys((Dir / "k.kbn").string());

  TTestKeyPress Plain(&Client, &Program);
  Plain.ImportKeys((Dir / "k.kbn").string());
  EXPECT_EQ(Describe(Plain), (std::vector<std::string>{"k38 + m2 = Toggle away"}));

  TTestKeyPress WithKeys(&Client, &Program);
  WithKeys.AssignInterceptor(1);
  WithKeys.ImportKeys((Dir / "k.kbn").string());
  EXPECT_EQ(Describe(WithKeys),
            (std::vector<std::string>{"layout-0-38 + layout-1-2 = Toggle away"}));
  TKeyCombo* C = nullptr;
  ASSERT_TRUE(WithKeys.GetCombo(0, C));
  EXPECT_EQ(C->Key3.Name(), "None");
}

TEST_F(KeyFiles, ExportToAnUnwritablePlaceReportsAnError) {
  TTestKeyPress A(&Client, &Program);
  Fill(A);
  A.ExportKeys((Dir / "no-such-dir" / "x.kbn").string());
  EXPECT_EQ(Program.Errors, (std::vector<std::string>{"There was an error exporting keybindings"}));
  auto LogLines = Log->Joined();
  ASSERT_EQ(LogLines.size(), 1u);
  EXPECT_EQ(LogLines[0].rfind("TClientKeyPressBase.ExportKeys|Exception EKeyCombo: ", 0), 0u)
      << LogLines[0];
}
