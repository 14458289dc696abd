#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "web/ImageCache.h"

using namespace orlavonix;
namespace fs = std::filesystem;

namespace {
class ImageCacheTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Tmpl = (fs::temp_directory_path() / "orlavonix-cache-XXXXXX").string();
    ASSERT_NE(mkdtemp(Tmpl.data()), nullptr);
    Root = Tmpl;
    Dir = Root / "data";
    fs::create_directory(Dir);
    Index = Dir / "imagecache.ini";
  }
  void TearDown() override { fs::remove_all(Root); }

  static std::string ReadFile(const fs::path& P) {
    std::ifstream In(P, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(In)), {});
  }
  static void WriteFile(const fs::path& P, const std::string& S) {
    std::ofstream(P, std::ios::binary) << S;
  }
  std::vector<std::string> IndexLines() const {
    std::string S = ReadFile(Index);
    return ParseCacheIndex(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(S.data()), S.size()));
  }
  size_t FilesInDir() const {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(Dir), fs::directory_iterator()));
  }
  static void SetAge(const fs::path& P, std::chrono::hours Age) {
    fs::last_write_time(P, fs::file_time_type::clock::now() - Age);
  }

  fs::path Root, Dir, Index;
  const std::vector<uint8_t> Pic1{1, 2, 3}, Pic2{4, 5, 6, 7};
};
} // namespace

TEST_F(ImageCacheTest, TwoStoresOfOneAddressFindTheFirst) {
  TImageCache C(Index);
  EXPECT_EQ(C.Lookup("http://a/x.png"), "");
  ASSERT_TRUE(C.Store(Pic1, "http://a/x.png", ".png"));
  ASSERT_TRUE(C.Store(Pic2, "http://a/x.png", ".png"));
  auto Lines = IndexLines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_EQ(CacheIndexName(Lines[0]), "http://a/x.png");
  EXPECT_EQ(CacheIndexName(Lines[1]), "http://a/x.png");
  std::string F = C.Lookup("HTTP://A/X.PNG"); // names compare without letter case
  EXPECT_EQ(F, CacheIndexValue(Lines[0]));
  EXPECT_EQ(ReadFile(F), std::string("\1\2\3"));
  EXPECT_EQ(fs::path(F).parent_path(), Dir);
  EXPECT_TRUE(std::regex_match(
      fs::path(F).filename().string(),
      std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.png")));
}

TEST_F(ImageCacheTest, AddressWithEqualsIsNotFoundAgain) {
  TImageCache C(Index);
  ASSERT_TRUE(C.Store(Pic1, "http://a/p?x=1", ".jpg"));
  EXPECT_EQ(IndexLines().size(), 1u);
  EXPECT_EQ(C.Lookup("http://a/p?x=1"), "");
}

TEST_F(ImageCacheTest, AddressWithControlCharacterIsRefused) {
  TImageCache C(Index);
  ASSERT_TRUE(C.Store(Pic1, "http://a/ok.png", ".png"));
  for (const char* Bad : {"http://a/x\n/etc/passwd=/tmp/y", "http://a/x\r", "http://a/\tx",
                          "http://a/\x01", "http://a/\x7f", ""}) {
    EXPECT_FALSE(C.Store(Pic2, Bad, ".png")) << Bad;
  }
  EXPECT_FALSE(C.Store(Pic2, "http://a/z.png", ".gif"));
  EXPECT_FALSE(C.Store(Pic2, "http://a/z.png", "/../x.png"));
  EXPECT_EQ(IndexLines().size(), 1u);
  EXPECT_EQ(FilesInDir(), 2u); // the index and the one picture
}

TEST_F(ImageCacheTest, CleanRemovesExpiredAndFuturePictures) {
  {
    TImageCache C(Index);
    for (const char* U : {"http://old", "http://future", "http://fresh", "http://gone"})
      ASSERT_TRUE(C.Store(Pic1, U, ".jpg"));
  }
  auto Lines = IndexLines();
  fs::path Old{std::string(CacheIndexValue(Lines[0]))};
  fs::path Future{std::string(CacheIndexValue(Lines[1]))};
  fs::path Fresh{std::string(CacheIndexValue(Lines[2]))};
  fs::path Gone{std::string(CacheIndexValue(Lines[3]))};
  SetAge(Old, std::chrono::hours(25));
  SetAge(Future, std::chrono::hours(-2));
  SetAge(Fresh, std::chrono::hours(23));
  fs::remove(Gone);

  TImageCache C(Index); // cleans at creation
  EXPECT_FALSE(fs::exists(Old));
  EXPECT_FALSE(fs::exists(Future));
  EXPECT_TRUE(fs::exists(Fresh));
  auto After = IndexLines();
  ASSERT_EQ(After.size(), 2u);
  EXPECT_EQ(CacheIndexName(After[0]), "http://fresh");
  EXPECT_EQ(CacheIndexName(After[1]), "http://gone"); // a missing file's line stays for Clean
  EXPECT_EQ(C.Lookup("http://fresh"), Fresh.string());
  EXPECT_EQ(C.Lookup("http://gone"), ""); // ... and goes at its lookup
  EXPECT_EQ(IndexLines().size(), 1u);
}

TEST_F(ImageCacheTest, InjectedLinesNeverDeleteOtherFiles) {
  // Old files the index must never reach: outside the folder, inside it but
  // not GUID-named, and reached through "..".
  fs::path Outside = Root / "victim.txt";
  fs::path OutsideGuid = Root / "0A1B2C3D-0000-4000-8000-000000000000.jpg";
  fs::path Inside = Dir / "notes.txt";
  WriteFile(Outside, "keep");
  WriteFile(OutsideGuid, "keep");
  WriteFile(Inside, "keep");
  for (auto& P : {Outside, OutsideGuid, Inside})
    SetAge(P, std::chrono::hours(72));
  std::string Dotted = (Dir / ".." / OutsideGuid.filename()).string();
  WriteFile(Index, "http://a=" + Outside.string() + "\r\nhttp://b=" + OutsideGuid.string() +
                       "\nhttp://c=" + Inside.string() + "\rhttp://d=" + Dotted +
                       "\nhttp://e=" + OutsideGuid.filename().string() + "\n");

  TImageCache C(Index);
  for (auto& P : {Outside, OutsideGuid, Inside})
    EXPECT_TRUE(fs::exists(P)) << P;
  for (const char* U : {"http://a", "http://b", "http://c", "http://d", "http://e"})
    EXPECT_EQ(C.Lookup(U), "") << U;
  EXPECT_TRUE(IndexLines().empty());
}

TEST_F(ImageCacheTest, MissingOrUnwritableIndex) {
  fs::path Nowhere = Root / "no-such-dir" / "imagecache.ini";
  TImageCache C(Nowhere);
  EXPECT_EQ(C.Lookup("http://a"), "");
  EXPECT_FALSE(C.Store(Pic1, "http://a", ".png"));
  EXPECT_FALSE(fs::exists(Nowhere.parent_path()));
}

TEST(ImageCacheIndex, Values) {
  fs::path Dir = "/home/u/.orlavonix";
  struct {
    const char* Value;
    bool Ok;
  } Cases[] = {
      {"/home/u/.orlavonix/0A1B2C3D-1234-4ABC-8DEF-0123456789AB.jpg", true},
      {"/home/u/.orlavonix/0a1b2c3d-1234-4abc-8def-0123456789ab.png", true},
      {"/home/u/.orlavonix/0A1B2C3D-1234-4ABC-8DEF-0123456789AB.gif", false},
      {"/home/u/.orlavonix/0A1B2C3D-1234-4ABC-8DEF-0123456789A.jpg", false},
      {"/home/u/.orlavonix/0A1B2C3D_1234-4ABC-8DEF-0123456789AB.jpg", false},
      {"/home/u/.orlavonix/0G1B2C3D-1234-4ABC-8DEF-0123456789AB.jpg", false},
      {"/home/u/.orlavonix/sub/0A1B2C3D-1234-4ABC-8DEF-0123456789AB.jpg", false},
      {"/home/u/.orlavonix/../0A1B2C3D-1234-4ABC-8DEF-0123456789AB.jpg", false},
      {"/home/u/0A1B2C3D-1234-4ABC-8DEF-0123456789AB.jpg", false},
      {"0A1B2C3D-1234-4ABC-8DEF-0123456789AB.jpg", false},
      {"/etc/passwd", false},
      {"", false},
  };
  for (auto& C : Cases)
    EXPECT_EQ(IsCacheFileOf(C.Value, Dir), C.Ok) << C.Value;

  auto Lines = [](const char* S) {
    std::string_view V(S);
    return ParseCacheIndex(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(V.data()), V.size()));
  };
  EXPECT_EQ(Lines(""), std::vector<std::string>{});
  EXPECT_EQ(Lines("a=b"), (std::vector<std::string>{"a=b"}));
  EXPECT_EQ(Lines("a\r\nb\rc\nd\n"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(Lines("\n\n"), (std::vector<std::string>{"", ""}));
  EXPECT_EQ(CacheIndexName("a=b=c"), "a");
  EXPECT_EQ(CacheIndexValue("a=b=c"), "b=c");
  EXPECT_EQ(CacheIndexValue("abc"), "");
  EXPECT_NE(NewGuidText(), NewGuidText());
}
