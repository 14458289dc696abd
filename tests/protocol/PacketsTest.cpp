#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/Bytes.h"
#include "protocol/Packets.h"
#include "protocol/crc.h"

using namespace orlavonix;

TEST(Crc, KnownValuesAndLengthLimit) {
  EXPECT_EQ(Crc32("abc", 3), 0x352441C2u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  std::vector<uint8_t> Big(CrcMaxLength + 1, 0xAB);
  EXPECT_NE(Crc32(Big.data(), CrcMaxLength), 0xFFFFFFFFu);
  EXPECT_EQ(Crc32(Big.data(), CrcMaxLength + 1), 0xFFFFFFFFu);
  EXPECT_EQ(Crc32(nullptr, 1u << 20), 0xFFFFFFFFu) << "an over-long length reads nothing";
}

namespace {
TPacket MakePacket(uint16_t Magic, int Size) {
  std::vector<uint8_t> B(static_cast<size_t>(Size), 0);
  if (Size >= 2)
    PutLE<uint16_t>(B.data(), Magic);
  for (int I = 4; I + 4 <= Size && I < 12; I += 4)
    PutLE<uint32_t>(B.data() + I, 0x11110000u + I);
  return TPacket(B.data(), Size);
}
} // namespace

TEST(Packet, ClassificationNeedsMagicAndFullHeader) {
  struct Case {
    uint16_t Magic;
    int Size;
    bool Command, Ack, ClientVoice, ServerVoice, Maintenance;
  };
  const Case Cases[] = {
      {0xBEF0, 24, true, false, false, false, false},
      {0xBEF0, 23, false, false, false, false, false},
      {0xBEF1, 16, false, true, false, false, false},
      {0xBEF1, 15, false, false, false, false, false},
      {0xBEF2, 16, false, false, true, false, false},
      {0xBEF3, 22, false, false, false, true, false},
      {0xBEF3, 21, false, false, false, false, false},
      {0xBEF4, 20, false, false, false, false, true},
      {0xBEF4, 19, false, false, false, false, false},
      {0xBEF5, 100, false, false, false, false, false},
  };
  for (const auto& C : Cases) {
    TPacket P = MakePacket(C.Magic, C.Size);
    SCOPED_TRACE(testing::Message() << std::hex << C.Magic << " size " << std::dec << C.Size);
    EXPECT_EQ(P.IsCommand(), C.Command);
    EXPECT_EQ(P.IsAck(), C.Ack);
    EXPECT_EQ(P.IsClientVoice(), C.ClientVoice);
    EXPECT_EQ(P.IsServerVoice(), C.ServerVoice);
    EXPECT_EQ(P.IsMaintenance(), C.Maintenance);
    bool AnyClass = C.Command || C.Ack || C.ClientVoice || C.ServerVoice || C.Maintenance;
    if (AnyClass) {
      EXPECT_EQ(P.GetConnectionId(), 0x11110004u);
      EXPECT_EQ(P.GetPlayerId(), 0x11110008u);
    } else {
      EXPECT_THROW(P.GetPlayerId(), EPacket);
      EXPECT_THROW(P.GetConnectionId(), EPacket);
      EXPECT_THROW(P.SetCrc(), EPacket);
      EXPECT_FALSE(P.IsValid());
    }
  }
}

TEST(Packet, TwentyThreeByteCommandPrefixIsNoPacket) {
  TPacket P = MakePacket(0xBEF0, 23);
  EXPECT_FALSE(P.IsCommand());
  EXPECT_FALSE(P.IsValid());
  try {
    P.GetPlayerId();
    FAIL() << "expected EPacket";
  } catch (const EPacket& E) {
    EXPECT_STREQ(E.what(), "Invalid Packet");
  }
}

TEST(Packet, CrcSetAndCheckForCommandAndMaintenance) {
  for (auto [Magic, Size, CrcAt] : {std::tuple{0xBEF0, 40, 20}, std::tuple{0xBEF4, 24, 16}}) {
    TPacket P = MakePacket(static_cast<uint16_t>(Magic), Size);
    P.Memory()[Size - 1] = 0x5A;
    P.SetCrc();
    uint32_t First = GetLE<uint32_t>(P.Memory() + CrcAt);
    std::vector<uint8_t> Zeroed(P.Memory(), P.Memory() + Size);
    PutLE<uint32_t>(Zeroed.data() + CrcAt, 0);
    EXPECT_EQ(First, Crc32(Zeroed.data(), Zeroed.size()));
    P.SetCrc(); // field already holds the right value: same result
    EXPECT_EQ(GetLE<uint32_t>(P.Memory() + CrcAt), First);

    std::vector<uint8_t> Before(P.Memory(), P.Memory() + Size);
    EXPECT_TRUE(P.CheckCrc());
    EXPECT_TRUE(P.IsValid());
    EXPECT_EQ(std::memcmp(Before.data(), P.Memory(), Before.size()), 0);

    P.Memory()[Size - 1] ^= 1; // corrupt one payload bit
    std::vector<uint8_t> Corrupt(P.Memory(), P.Memory() + Size);
    EXPECT_FALSE(P.CheckCrc());
    EXPECT_FALSE(P.IsValid());
    EXPECT_EQ(std::memcmp(Corrupt.data(), P.Memory(), Corrupt.size()), 0)
        << "a failing check must leave the packet unchanged";
  }
}

TEST(Packet, AckAndVoiceHaveNoCrc) {
  for (auto [Magic, Size] : {std::pair{0xBEF1, 16}, std::pair{0xBEF2, 30}, std::pair{0xBEF3, 30}}) {
    TPacket P = MakePacket(static_cast<uint16_t>(Magic), Size);
    std::vector<uint8_t> Before(P.Memory(), P.Memory() + Size);
    P.SetCrc();
    EXPECT_EQ(std::memcmp(Before.data(), P.Memory(), Before.size()), 0);
    EXPECT_TRUE(P.CheckCrc());
    EXPECT_TRUE(P.IsValid());
  }
}

TEST(Packet, HeaderAccessorsWriteInPlace) {
  TPacket P = MakePacket(0xBEF3, 30);
  P.ServerVoiceHeader()->SenderId = 77;
  P.ServerVoiceHeader()->PacketNr = 0xFFFE;
  EXPECT_EQ(GetLE<uint32_t>(P.Memory() + 16), 77u);
  EXPECT_EQ(GetLE<uint16_t>(P.Memory() + 20), 0xFFFE);
}

TEST(PacketStream, CapacityGrowsInKilobyteSteps) {
  TPacket P;
  std::vector<uint8_t> Bytes(1025, 7);
  P.WriteBuffer(Bytes.data(), 1025);
  EXPECT_EQ(P.Size(), 1025);
  EXPECT_EQ(P.Capacity(), 2048);
  P.SetSize(0);
  EXPECT_EQ(P.Capacity(), 0);
  EXPECT_EQ(P.Memory(), nullptr);
  EXPECT_EQ(P.Position(), 0) << "position follows a shrinking size";
}

TEST(PacketStream, ReadWriteSeek) {
  TPacket P;
  uint32_t V = 0xA1B2C3D4;
  P.WriteBuffer(&V, 4);
  P.Seek(-2, TSeekOrigin::soCurrent);
  uint16_t H = 0;
  EXPECT_EQ(P.Read(&H, 2), 2);
  EXPECT_EQ(H, 0xA1B2);
  EXPECT_EQ(P.Read(&H, 2), 0);
  EXPECT_THROW(P.ReadBuffer(&H, 2), EStreamError);
  P.Seek(10, TSeekOrigin::soBeginning); // writing past the end fills the gap
  P.WriteBuffer(&V, 4);
  EXPECT_EQ(P.Size(), 14);
}

TEST(Packet, WritePCharAndAssign) {
  TPacket P;
  P.WritePChar(static_cast<const char*>(nullptr));
  P.WritePChar("");
  EXPECT_EQ(P.Size(), 2);
  P.WritePChar("ab");
  EXPECT_EQ(P.Size(), 5);
  EXPECT_EQ(std::memcmp(P.Memory(), "\0\0ab\0", 5), 0);

  P.SetPeer("127.0.0.1", 8767, "conn");
  TPacket Copy;
  Copy.WritePChar("old content that is longer");
  Copy.Assign(P);
  EXPECT_EQ(Copy.Size(), 5);
  EXPECT_EQ(std::memcmp(Copy.Memory(), P.Memory(), 5), 0);
  EXPECT_EQ(Copy.PeerHost, "127.0.0.1");
  EXPECT_EQ(Copy.PeerPort, 8767);
  EXPECT_EQ(Copy.ConnectionName, "conn");
  EXPECT_EQ(Copy.Position(), 0);
}
