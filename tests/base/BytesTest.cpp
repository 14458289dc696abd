#include <gtest/gtest.h>

#include "base/Bytes.h"

using namespace orlavonix;

TEST(ByteReader, ReadsLittleEndianAndRefusesToPassTheEnd) {
  const uint8_t Data[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  TByteReader R(Data, sizeof Data);
  EXPECT_EQ(R.U16(), 0x0201);
  EXPECT_EQ(R.U32(), 0x06050403u);
  EXPECT_THROW(R.U16(), EReadError);
  EXPECT_EQ(R.Position(), 6u) << "a failed read must not move the position";
  EXPECT_EQ(R.U8(), 0x07);
  EXPECT_TRUE(R.AtEnd());
  EXPECT_THROW(R.Skip(1), EReadError);
}

TEST(ByteReader, ShortStringClampsLengthAndSkipsWholeField) {
  struct Case {
    std::vector<uint8_t> Bytes;
    size_t N;
    std::string Want;
    size_t PosAfter;
  };
  const Case Cases[] = {
      {{3, 'a', 'b', 'c', 'x', 'y'}, 5, "abc", 6},
      {{0, 'a', 'b'}, 2, "", 3},
      {{200, 'a', 'b', 'c'}, 3, "abc", 4}, // length above N is cut to N
  };
  for (const auto& C : Cases) {
    TByteReader R(C.Bytes.data(), C.Bytes.size());
    EXPECT_EQ(R.ShortString(C.N), C.Want);
    EXPECT_EQ(R.Position(), C.PosAfter);
  }
  const uint8_t Short[] = {3, 'a', 'b'};
  TByteReader R(Short, sizeof Short);
  EXPECT_THROW(R.ShortString(3), EReadError);
}

TEST(ByteReader, TerminatedTextNeedsZeroWithinLimitAndData) {
  const uint8_t Data[] = {'a', 'b', 0, 'c', 'd', 'e'};
  TByteReader R(Data, sizeof Data);
  EXPECT_FALSE(R.Terminated(2).has_value()) << "zero at the third byte lies beyond a limit of 2";
  EXPECT_EQ(R.Terminated(3).value(), "ab");
  EXPECT_FALSE(R.Terminated(100).has_value()) << "no zero before the data ends";
  EXPECT_EQ(R.Position(), 3u);
}

TEST(ByteWriter, WritesFieldsRoundTrip) {
  TByteWriter W;
  W.U16(0xBEF0).I32(-2).ShortString("nickname-that-is-long", 8).Terminated("hi").Terminated("", 1);
  ASSERT_EQ(W.Size(), 2u + 4 + 9 + 3 + 1);
  TByteReader R(W.Data().data(), W.Size());
  EXPECT_EQ(R.U16(), 0xBEF0);
  EXPECT_EQ(R.I32(), -2);
  EXPECT_EQ(R.ShortString(8), "nickname");
  EXPECT_EQ(R.Terminated(31).value(), "hi");
  EXPECT_EQ(R.Terminated(1).value(), "");
}

TEST(ByteWriter, TerminatedCutsToLimit) {
  TByteWriter W;
  W.Terminated(std::string(40, 'x'), 31);
  EXPECT_EQ(W.Size(), 31u);
  EXPECT_EQ(W.Data().back(), 0);
}

TEST(ShortStringField, SetAndGet) {
  uint8_t Field[30];
  SetShortString(Field, 29, std::string(35, 'n'));
  EXPECT_EQ(Field[0], 29);
  EXPECT_EQ(GetShortString(Field, 29), std::string(29, 'n'));
  Field[0] = 255;
  EXPECT_EQ(GetShortString(Field, 29).size(), 29u);
}
