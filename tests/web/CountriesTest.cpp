#include <gtest/gtest.h>

#include <set>

#include "web/countries.h"

using namespace orlavonix;

TEST(Countries, TableShape) {
  auto Rows = CountryTable();
  ASSERT_EQ(Rows.size(), 267u);
  std::set<int> Continents, Regions;
  int Countries = 0;
  for (size_t I = 0; I < Rows.size(); ++I) {
    int C = Rows[I].Code;
    if (I > 0) {
      EXPECT_LT(Rows[I - 1].Code, C) << "rows must ascend";
    }
    ASSERT_GE(C, 1000);
    ASSERT_LE(C, 6999);
    if (C % 1000 == 0) {
      Continents.insert(C);
    } else if (C % 100 == 0) {
      Regions.insert(C);
      EXPECT_TRUE(Continents.count(C / 1000 * 1000)) << C << " has no continent row before it";
    } else {
      ++Countries;
      EXPECT_TRUE(Regions.count(C / 100 * 100)) << C << " has no region row before it";
    }
  }
  EXPECT_EQ(Continents.size(), 6u);
  EXPECT_EQ(Regions.size(), 21u);
  EXPECT_EQ(Countries, 240);
  EXPECT_FALSE(Regions.count(3300));
}

TEST(Countries, Names) {
  struct {
    uint16_t Code;
    const char* Name;
  } Cases[] = {
      {1000, "Africa"},
      {1100, "Eastern Africa"},
      {1541, "Mali"},
      {1149, "R\xE9union"},
      {1524, "Cote d'Ivoire"},
      {2000, "Americas"},
      {2370, "South Georgia and the South Sandwich Islands"},
      {3435, "Lao People's Democratic Republic"},
      {4000, "Europe"},
      {4259, "United Kingdom"},
      {4281, "Northern Ireland"},
      {5300, "Micronesia"},
      {5319, "Micronesia"},
      {5435, "Wallis and Futuna Islands"},
      {6000, "Antartica"},
      {0, "Unknown"},
      {3300, "Unknown"},
      {999, "Unknown"},
      {6001, "Unknown"},
      {65535, "Unknown"},
  };
  for (auto& C : Cases)
    EXPECT_EQ(CountryName(C.Code), C.Name) << C.Code;
}

TEST(Countries, OnlyReunionLeavesAscii) {
  for (auto& R : CountryTable()) {
    std::string N = R.Name;
    bool Ascii = true;
    for (unsigned char Ch : N)
      Ascii = Ascii && Ch < 0x80;
    EXPECT_EQ(Ascii, R.Code != 1149) << R.Code;
    EXPECT_LE(N.size(), 47u) << "must fit the 48-byte display field";
  }
}
