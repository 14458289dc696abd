#include <gtest/gtest.h>

#include "base/Format.h"

using namespace orlavonix;

TEST(Format, Conversions) {
  struct Case {
    std::string Got, Want;
  };
  const Case Cases[] = {
      {Format("%d items", 24), "24 items"},
      {Format("( %d, %d, %d)", 24, 4, 24), "( 24, 4, 24)"},
      {Format("%s in %s: %s", "OSS error", "Open", "busy"), "OSS error in Open: busy"},
      {Format("%4d/%4d", 3, 32), "   3/  32"},
      {Format("%.2f", 1.005f * 2), "2.01"},
      {Format("%x", 255u), "ff"},
      {Format("%u", 4294967295u), "4294967295"},
      {Format("100%%"), "100%"},
      {Format("%-5s|", "ab"), "ab   |"},
      {Format("%d", std::string("text")), "text"}, // wrong kind prints the text form
      {Format("%d and %d", 1), "1 and "},          // missing argument prints nothing
      {Format("%q stays"), "%q stays"},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(C.Got, C.Want);
}

TEST(FillPlaceholders, ReplacesNumberedArgumentsInOrder) {
  EXPECT_EQ(FillPlaceholders("host %1 resolved to %2", {"example.org", "192.0.2.7"}),
            "host example.org resolved to 192.0.2.7");
  EXPECT_EQ(FillPlaceholders("%2-%1-%2", {1, "b"}), "b-1-b");
  EXPECT_EQ(FillPlaceholders("no args %1", {}), "no args %1");
  EXPECT_EQ(FillPlaceholders("%1", {-5}), "-5");
}

TEST(ParseInt32, WholeTextSignedAndInRange) {
  const std::pair<const char*, std::optional<int32_t>> Cases[] = {
      {"0", 0},
      {"+17", 17},
      {"-5", -5},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"12a", std::nullopt},
      {" 1", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const auto& [Text, Want] : Cases)
    EXPECT_EQ(ParseInt32(Text), Want) << Text;
}
