#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "ConfigTestSupport.h"
#include "config/ConfigFile.h"
#include "support/ChildProcess.h"

using namespace orlavonix;
using namespace orlavonix::test;
namespace fs = std::filesystem;

namespace {

// The mask's bytes in file order, and its low byte for the tail.
constexpr uint8_t MaskBytes[4] = {0xF7, 0xC1, 0x93, 0x5E};

TEST(ConfigScramble, WholeWordsUseTheMaskTailBytesUseItsLowByte) {
  for (size_t Len = 0; Len <= 11; ++Len) {
    SCOPED_TRACE(Len);
    std::vector<uint8_t> B(Len, 0);
    ScrambleConfigBuffer(B);
    size_t Whole = Len / 4 * 4;
    for (size_t I = 0; I < Len; ++I)
      EXPECT_EQ(B[I], I < Whole ? MaskBytes[I % 4] : 0xF7) << "byte " << I;
    ScrambleConfigBuffer(B);
    EXPECT_EQ(B, std::vector<uint8_t>(Len, 0)) << "scrambling twice restores the bytes";
  }
}

TEST(ConfigFile, LoadsSectionsInFileOrderAndKeepsThemThroughSave) {
  TTempDir Dir;
  auto Path = Dir / "Orlavonix.Conf";
  WriteFileBytes(
      Path, Scrambled(PlainImage(
                {{"B section", {1, 2, 3}}, {"A section", {}}, {"C section", {9, 8, 7, 6, 5}}})));
  TConfigFile C(Path.string());
  ASSERT_EQ(C.Names(), (std::vector<std::string>{"B section", "A section", "C section"}));
  EXPECT_EQ(C.GetSection("C section", false)->Bytes(), (std::vector<uint8_t>{9, 8, 7, 6, 5}));
  EXPECT_EQ(C.GetSection("A section", false)->Size(), 0u);

  auto* New = C.GetSection("New one", true);
  New->WriteI32(0x01020304);
  ASSERT_TRUE(C.Save());
  // The file is the scrambled image of exactly these sections.
  EXPECT_EQ(ReadFileBytes(Path), Scrambled(PlainImage({{"B section", {1, 2, 3}},
                                                       {"A section", {}},
                                                       {"C section", {9, 8, 7, 6, 5}},
                                                       {"New one", {4, 3, 2, 1}}})));
}

TEST(ConfigFile, LookupIgnoresLetterCaseAndCreateAppendsOnlyWhenMissing) {
  TConfigFile C("/nonexistent/dir/Orlavonix.Conf");
  EXPECT_EQ(C.GetSection("MainForm Linux V2.0 beta 6", false), nullptr);
  auto* S = C.GetSection("MainForm Linux V2.0 beta 6", true);
  ASSERT_NE(S, nullptr);
  EXPECT_EQ(C.GetSection("mainform linux v2.0 beta 6", false), S);
  EXPECT_EQ(C.GetSection("MAINFORM LINUX V2.0 BETA 6", true), S);
  EXPECT_EQ(C.Count(), 1u);
  EXPECT_EQ(C.GetSection("MainForm Linux V2.0 beta 4", false), nullptr);
}

TEST(ConfigFile, SectionNamesOf29CharactersSurviveLongerOnesAreCut) {
  TTempDir Dir;
  auto Path = (Dir / "Orlavonix.Conf").string();
  const std::string Exact = "SoundDevicesLinux V2.0 beta 2";
  ASSERT_EQ(Exact.size(), 29u);
  const std::string Long = "A section name that is far too long";
  {
    TConfigFile C(Path);
    C.GetSection(Exact, true)->WriteU8(1);
    C.GetSection(Long, true)->WriteU8(2);
    ASSERT_TRUE(C.Save());
  }
  TConfigFile C(Path);
  EXPECT_EQ(C.Names(), (std::vector<std::string>{Exact, Long.substr(0, 29)}));
  EXPECT_EQ(C.GetSection(Long.substr(0, 29), false)->Bytes(), std::vector<uint8_t>{2});
}

// Damaged files: the store keeps every section that lies completely before
// the damage, and nothing crashes.
TEST(ConfigFile, DamagedFilesKeepWhatIsIntact) {
  const std::vector<TRawSection> Good = {{"First", {1, 1}}, {"Second", {2, 2, 2}}, {"Third", {3}}};
  struct TCase {
    const char* What;
    std::vector<uint8_t> Image; // already scrambled
    std::vector<std::string> Names;
  };
  std::vector<TCase> Cases = {
      {"empty file", {}, {}},
      {"only the magic", Scrambled(PlainImage({})), {}},
      {"foreign magic", Scrambled(PlainImage(Good, 0x1337F114)), {}},
      {"not scrambled", PlainImage(Good), {}},
      {"negative size", Scrambled(PlainImage({Good[0], {"Bad", {5, 5}, -2}, Good[2]})), {"First"}},
      {"huge size", Scrambled(PlainImage({Good[0], {"Bad", {5, 5}, 0x7FFFFFFF}})), {"First"}},
      {"size past the end",
       Scrambled(PlainImage({Good[0], Good[1], {"Bad", {5}, 2}})),
       {"First", "Second"}},
  };
  // Every truncation of a good file keeps exactly the complete sections.
  auto Full = Scrambled(PlainImage(Good));
  const size_t Ends[] = {4, 4 + 34 + 2, 4 + 34 + 2 + 34 + 3, Full.size()};
  for (size_t Len = 0; Len <= Full.size(); ++Len) {
    std::vector<std::string> Names;
    for (size_t I = 1; I < 4; ++I)
      if (Len >= Ends[I])
        Names.push_back(Good[I - 1].Name);
    auto Cut = Full;
    Cut.resize(Len);
    Cases.push_back({"truncated", Cut, Names});
  }
  for (const auto& C : Cases) {
    SCOPED_TRACE(std::string(C.What) + " of " + std::to_string(C.Image.size()) + " bytes");
    TConfigFile F("/nonexistent/Orlavonix.Conf");
    F.LoadFromImage(C.Image);
    EXPECT_EQ(F.Names(), C.Names);
  }
}

TEST(ConfigFile, SaveAfterDamageKeepsTheIntactSections) {
  TTempDir Dir;
  auto Path = Dir / "Orlavonix.Conf";
  auto Plain = PlainImage({{"Kept", {7, 7, 7}}, {"Lost", {1, 2, 3, 4, 5, 6}}});
  Plain.resize(Plain.size() - 2);
  WriteFileBytes(Path, Scrambled(Plain));
  {
    TConfigFile C(Path.string());
    ASSERT_TRUE(C.Save());
  }
  TConfigFile C(Path.string());
  EXPECT_EQ(C.Names(), std::vector<std::string>{"Kept"});
  EXPECT_EQ(C.GetSection("kept", false)->Bytes(), (std::vector<uint8_t>{7, 7, 7}));
}

TEST(ConfigFile, MissingFileStartsEmptyAndIsCreatedOwnerOnly) {
  TTempDir Dir;
  auto Path = Dir / "Orlavonix.Conf";
  TConfigFile C(Path.string());
  EXPECT_EQ(C.Count(), 0u);
  C.GetSection("X", true)->WriteU8(1);
  ASSERT_TRUE(C.Save());
  EXPECT_EQ(fs::status(Path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // A file the user has opened up keeps its permissions when replaced.
  fs::permissions(Path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(C.Save());
  EXPECT_EQ(fs::status(Path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir.Path()), fs::directory_iterator()), 1);
}

// Writes a small valid file, then tries to save a much larger store under
// the given obstacle; the result must be the old file, byte for byte.
class ConfigSaveFailure : public ::testing::Test {
protected:
  void WriteOld(const fs::path& Path) {
    TConfigFile C(Path.string());
    C.GetSection("Old settings", true)->WriteShortString("keep me", 29);
    ASSERT_TRUE(C.Save());
    FOld = ReadFileBytes(Path);
    ASSERT_FALSE(FOld.empty());
  }
  static bool SaveBig(const fs::path& Path) {
    TConfigFile C(Path.string());
    std::vector<uint8_t> Big(256 * 1024, 0xAB);
    C.GetSection("Big", true)->Write(Big.data(), Big.size());
    return C.Save();
  }
  std::vector<uint8_t> FOld;
};

TEST_F(ConfigSaveFailure, FileSizeLimitLeavesThePreviousFileIntact) {
  TTempDir Dir;
  auto Path = Dir / "Orlavonix.Conf";
  WriteOld(Path);
  int Code = RunInChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit L{4096, 4096};
    if (::setrlimit(RLIMIT_FSIZE, &L) != 0)
      return 2;
    return SaveBig(Path) ? 1 : 0;
  });
  EXPECT_EQ(Code, 0) << "the save must report failure";
  EXPECT_EQ(ReadFileBytes(Path), FOld);
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir.Path()), fs::directory_iterator()), 1)
      << "the temporary file is removed";
  TConfigFile C(Path.string());
  EXPECT_EQ(C.GetSection("old settings", false)->ReadShortString(29), "keep me");
}

TEST_F(ConfigSaveFailure, FullDiskLeavesThePreviousFileIntact) {
  TTempDir Dir;
  auto Mount = Dir / "small";
  fs::create_directory(Mount);
  if (::mount("tmpfs", Mount.c_str(), "tmpfs", 0, "size=16k") != 0)
    GTEST_SKIP() << "cannot mount a small file system here";
  auto Path = Mount / "Orlavonix.Conf";
  WriteOld(Path);
  EXPECT_FALSE(SaveBig(Path));
  EXPECT_EQ(ReadFileBytes(Path), FOld);
  EXPECT_EQ(std::distance(fs::directory_iterator(Mount), fs::directory_iterator()), 1);
  ::umount(Mount.c_str());
}

TEST_F(ConfigSaveFailure, ReadOnlyDirectoryLeavesThePreviousFileIntact) {
  TTempDir Dir;
  auto Sub = Dir / "ro";
  fs::create_directory(Sub);
  auto Path = Sub / "Orlavonix.Conf";
  WriteOld(Path);
  // Root ignores directory permissions, so the save runs as another user
  // that owns the file but may not write into the directory.
  if (::getuid() == 0) {
    ASSERT_EQ(::chown(Path.c_str(), 65534, 65534), 0);
  }
  FOld = ReadFileBytes(Path);
  fs::permissions(Dir.Path(), fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(Sub, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  int Code = RunInChild([&] {
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
      return 2;
    return SaveBig(Path) ? 1 : 0;
  });
  EXPECT_EQ(Code, 0);
  EXPECT_EQ(ReadFileBytes(Path), FOld);
}

TEST(ConfigFile, SaveToAMissingDirectoryFailsQuietly) {
  TConfigFile C("/nonexistent-orlavonix-dir/Orlavonix.Conf");
  C.GetSection("X", true)->WriteU8(1);
  EXPECT_FALSE(C.Save());
}

} // namespace
