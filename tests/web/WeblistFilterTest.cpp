#include <gtest/gtest.h>

#include <vector>

#include "base/Bytes.h"
#include "config/ConfigFile.h"
#include "web/WeblistFilter.h"

using namespace orlavonix;

namespace {
TWeblistFilter WithName(TWeblistFilter F, const char* Name, uint8_t Mode) {
  SetWeblistFilterName(F, Name);
  F.NameMode = Mode;
  return F;
}
} // namespace

TEST(WeblistRequest, Bytes) {
  TWeblistFilter Europe;
  Europe.Country = 4000;
  TWeblistFilter Users;
  Users.Password = 2;
  Users.UsersMode = 2;
  Users.UsersValue = 0x1234;
  Users.ServerType = 1;
  TWeblistFilter Region;
  Region.Country = 1000;
  TWeblistFilter Long;
  std::memset(Long.Name, 'x', sizeof Long.Name); // no terminator at all
  Long.NameMode = 2;
  struct {
    const char* What;
    TWeblistFilter Filter;
    std::vector<uint8_t> Want;
  } Cases[] = {
      {"all on show all", TWeblistFilter{}, {11, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"Europe", Europe, {11, 1, 1, 0xA0, 0x0F, 0, 0, 0, 0, 0, 0, 0}},
      {"first code with the flag", Region, {11, 1, 1, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0}},
      {"users and type", Users, {11, 1, 0, 0, 0, 2, 2, 0x34, 0x12, 1, 0, 0}},
      {"containing, empty", WithName({}, "", 1), {11, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}},
      {"containing abc",
       WithName({}, "abc", 1),
       {14, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'a', 'b', 'c', 0}},
      {"unterminated name keeps 15", Long, {26,  1,   0,   0,   0,   0,   0,   0,   0,
                                            0,   2,   'x', 'x', 'x', 'x', 'x', 'x', 'x',
                                            'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 0}},
  };
  for (auto& C : Cases) {
    auto Got = BuildWeblistRequest(C.Filter);
    EXPECT_EQ(Got, C.Want) << C.What;
    ASSERT_EQ(Got.size(), Got[0] + 1u) << C.What;
    auto Parts = WeblistRequestParts(Got);
    EXPECT_EQ(Parts[0].size(), 1u);
    EXPECT_EQ(Parts[1].size(), 10u);
    EXPECT_EQ(Parts[2].size(), Got.size() - 11) << C.What;
    EXPECT_EQ(Parts[2].back(), 0) << C.What;
  }
}

TEST(WeblistFilterRules, FromSettings) {
  auto S = [](auto Edit) {
    TWeblistFilterSettings X;
    X.ContainingValue = 7;
    X.MaxValue = 8;
    X.Contains = "abc";
    X.Starts = "xyz";
    Edit(X);
    return X;
  };
  struct {
    const char* What;
    TWeblistFilterSettings Settings;
    uint8_t UsersMode;
    uint16_t UsersValue;
    uint8_t NameMode;
    const char* Name;
  } Cases[] = {
      {"defaults", TWeblistFilterSettings{}, 0, 0, 0, ""},
      {"show all ignores counts and texts", S([](auto&) {}), 0, 0, 0, ""},
      {"only empty", S([](auto& X) { X.UsersMode = 1; }), 1, 0, 0, ""},
      {"at least 5", S([](auto& X) {
         X.UsersMode = 2;
         X.ContainingValue = 5;
       }),
       2, 5, 0, ""},
      {"at most", S([](auto& X) { X.UsersMode = 3; }), 3, 8, 0, ""},
      {"full", S([](auto& X) { X.UsersMode = 4; }), 4, 0, 0, ""},
      {"unknown users mode", S([](auto& X) { X.UsersMode = 9; }), 4, 0, 0, ""},
      {"containing", S([](auto& X) { X.NameMode = 1; }), 0, 0, 1, "abc"},
      {"containing, empty edit", S([](auto& X) {
         X.NameMode = 1;
         X.Contains = "";
       }),
       0, 0, 1, ""},
      {"starting", S([](auto& X) { X.NameMode = 2; }), 0, 0, 2, "xyz"},
      {"long text cut", S([](auto& X) {
         X.NameMode = 2;
         X.Starts = "0123456789ABCDEFG";
       }),
       0, 0, 2, "0123456789ABCDE"},
  };
  for (auto& C : Cases) {
    TWeblistFilter F = BuildWeblistFilter(C.Settings);
    EXPECT_EQ(F.UsersMode, C.UsersMode) << C.What;
    EXPECT_EQ(F.UsersValue, C.UsersValue) << C.What;
    EXPECT_EQ(F.NameMode, C.NameMode) << C.What;
    EXPECT_EQ(WeblistFilterName(F), C.Name) << C.What;
  }
  TWeblistFilterSettings X;
  X.TypeIndex = 2;
  X.PasswordIndex = 1;
  X.Country = 4000;
  TWeblistFilter F = BuildWeblistFilter(X);
  EXPECT_EQ(F.ServerType, 2);
  EXPECT_EQ(F.Password, 1);
  EXPECT_EQ(F.Country, 4000);
}

TEST(WeblistFilterSection, Layout) {
  EXPECT_STREQ(WeblistFilterSectionName, "WeblistFilter V2.0 Apha1");
  TWeblistFilterSettings S;
  S.TypeIndex = 1;
  S.PasswordIndex = 2;
  S.NameMode = 1;
  S.Contains = "abc";
  S.Starts = "0123456789ABCDEFGH"; // cut to 15
  S.UsersMode = 3;
  S.ContainingValue = 12;
  S.MaxValue = 9999;
  S.Country = 1541;
  auto B = WriteWeblistFilterSection(S);
  ASSERT_EQ(B.size(), 60u);
  EXPECT_EQ(GetLE<int32_t>(&B[0]), 1);
  EXPECT_EQ(GetLE<int32_t>(&B[4]), 2);
  EXPECT_EQ(GetLE<int32_t>(&B[8]), 1);
  EXPECT_EQ(B[12], 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&B[13]), 3), "abc");
  EXPECT_EQ(B[28], 15);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&B[29]), 15), "0123456789ABCDE");
  EXPECT_EQ(GetLE<int32_t>(&B[44]), 3);
  EXPECT_EQ(GetLE<int32_t>(&B[48]), 12);
  EXPECT_EQ(GetLE<int32_t>(&B[52]), 9999);
  EXPECT_EQ(GetLE<int32_t>(&B[56]), 1541);

  TWeblistFilterSettings Back = ReadWeblistFilterSection(B);
  S.Starts = "0123456789ABCDE";
  EXPECT_EQ(Back, S);
}

TEST(WeblistFilterSection, LoadNormalises) {
  struct {
    const char* What;
    int Offset;
    int32_t Stored;
    int32_t TWeblistFilterSettings::*Field;
    int32_t Loaded;
  } Cases[] = {
      {"name mode 7 starts with", 8, 7, &TWeblistFilterSettings::NameMode, 2},
      {"name mode -1 starts with", 8, -1, &TWeblistFilterSettings::NameMode, 2},
      {"name mode 1 kept", 8, 1, &TWeblistFilterSettings::NameMode, 1},
      {"users mode 9 full", 44, 9, &TWeblistFilterSettings::UsersMode, 4},
      {"users mode 3 kept", 44, 3, &TWeblistFilterSettings::UsersMode, 3},
      {"spin 0 to 1", 48, 0, &TWeblistFilterSettings::ContainingValue, 1},
      {"spin 10000 to 9999", 52, 10000, &TWeblistFilterSettings::MaxValue, 9999},
      {"type index 5 to 0", 0, 5, &TWeblistFilterSettings::TypeIndex, 0},
      {"password index -3 to 0", 4, -3, &TWeblistFilterSettings::PasswordIndex, 0},
      {"country beyond 16 bits to 0", 56, 70000, &TWeblistFilterSettings::Country, 0},
  };
  for (auto& C : Cases) {
    auto B = WriteWeblistFilterSection(TWeblistFilterSettings{});
    PutLE<int32_t>(&B[C.Offset], C.Stored);
    EXPECT_EQ(ReadWeblistFilterSection(B).*C.Field, C.Loaded) << C.What;
  }
  // A length byte beyond 15 reads 15 characters, never the next field.
  auto B = WriteWeblistFilterSection(TWeblistFilterSettings{});
  B[12] = 200;
  EXPECT_EQ(ReadWeblistFilterSection(B).Contains.size(), 15u);
}

TEST(WeblistFilterSection, ShortSectionRaises) {
  auto B = WriteWeblistFilterSection(TWeblistFilterSettings{});
  for (size_t N = 0; N < B.size(); ++N)
    EXPECT_THROW(ReadWeblistFilterSection(std::span<const uint8_t>(B.data(), N)), EReadError) << N;
  std::vector<uint8_t> Longer(B.begin(), B.end());
  Longer.push_back(0xEE);
  EXPECT_EQ(ReadWeblistFilterSection(Longer), TWeblistFilterSettings{});
}

TEST(WeblistFilterSection, ThroughTheSettingsStore) {
  TConfigFile Config("/nonexistent/never-saved.conf");
  TWeblistFilterSettings S;
  S.Country = 77;
  EXPECT_FALSE(LoadWeblistFilter(Config, S));
  EXPECT_EQ(S, TWeblistFilterSettings{}) << "no section loads the defaults";
  EXPECT_EQ(Config.Count(), 0u) << "loading never creates the section";

  TWeblistFilterSettings Want;
  Want.NameMode = 2;
  Want.Starts = "Clan";
  Want.UsersMode = 3;
  Want.MaxValue = 12;
  Want.Country = 4000;
  SaveWeblistFilter(Config, Want);
  TConfigFile Reloaded("/nonexistent/never-saved.conf");
  Reloaded.LoadFromImage(Config.SaveToImage());
  ASSERT_EQ(Reloaded.GetSection("weblistfilter v2.0 apha1", false)->Size(), 60u);
  TWeblistFilterSettings Got;
  EXPECT_TRUE(LoadWeblistFilter(Reloaded, Got));
  EXPECT_EQ(Got, Want);

  // A longer section keeps its tail; a shorter one cannot be read.
  TMemoryStream* Sec = Reloaded.GetSection(WeblistFilterSectionName, false);
  Sec->SetSize(70);
  Sec->Seek(65);
  Sec->WriteU8(0xAB);
  SaveWeblistFilter(Reloaded, TWeblistFilterSettings{});
  EXPECT_EQ(Sec->Size(), 70u);
  EXPECT_EQ(Sec->Bytes()[65], 0xAB);
  EXPECT_TRUE(LoadWeblistFilter(Reloaded, Got));
  EXPECT_EQ(Got, TWeblistFilterSettings{});
  Sec->SetSize(59);
  EXPECT_THROW(LoadWeblistFilter(Reloaded, Got), EReadError);
}
