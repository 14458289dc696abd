#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Bytes.h"
#include "config/ConfigFile.h"
#include "config/ConfigSections.h"
#include "web/WeblistRetrieve.h"

using namespace orlavonix;

namespace {
using TBytes = std::vector<uint8_t>;

// One server as the service sends it: L, the entry, the name bytes.
TBytes Server(uint16_t Flags, uint16_t Players, uint16_t Max, uint16_t Country,
              std::vector<uint8_t> Addr, uint16_t Port, const std::string& Name,
              bool Terminate = true) {
  TByteWriter W;
  size_t NameBytes = Name.size() + (Terminate ? 1 : 0);
  W.U8(static_cast<uint8_t>(14 + NameBytes)).U16(Flags).U16(Players).U16(Max).U16(Country);
  W.Bytes(Addr.data(), 4).U16(Port).Bytes(Name.data(), Name.size());
  if (Terminate)
    W.U8(0);
  return W.Data();
}

TBytes Cat(std::initializer_list<TBytes> Parts) {
  TBytes Out;
  for (auto& P : Parts)
    Out.insert(Out.end(), P.begin(), P.end());
  return Out;
}

TWeblistReplyEnd Parse(const TBytes& Reply, TWeblistList& List,
                       const std::function<bool()>& Stop = {}) {
  TByteReader R(Reply);
  TWeblistReplyEnd End = ReadWeblistReply([&](void* B, size_t N) { R.Bytes(B, N); }, List, Stop);
  EXPECT_TRUE(R.AtEnd()) << "nothing may be read after the end";
  return End;
}
} // namespace

TEST(WeblistItem, Texts) {
  const uint8_t Raw[14] = {0, 0, 3, 0, 32, 0, 0x05, 0x06, 4, 3, 2, 1, 0x28, 0x23};
  TWeblistEntry E = DecodeWeblistEntry(std::span<const uint8_t, 14>(Raw));
  EXPECT_EQ(E.Address, 0x01020304u);
  EXPECT_EQ(E.Port, 9000);
  TWeblistItem I = MakeWeblistItem(E, "name");
  EXPECT_STREQ(I.Address, "1.2.3.4:9000");
  EXPECT_STREQ(I.Users, "   3/  32");
  EXPECT_STREQ(I.Country, "Mali"); // 0x0605 = 1541

  struct {
    uint16_t Flags;
    const char* Type;
    const char* Password;
  } Flags[] = {{0, "Public", "No"},
               {1, "Public", "Yes"},
               {2, "Clan", "No"},
               {3, "Clan", "Yes"},
               {0xFFFC, "Public", "No"}};
  for (auto& F : Flags) {
    E.Flags = F.Flags;
    TWeblistItem X = MakeWeblistItem(E, "");
    EXPECT_STREQ(X.ServerType, F.Type) << F.Flags;
    EXPECT_STREQ(X.Password, F.Password) << F.Flags;
  }

  TWeblistEntry Big{0, 65535, 65535, 9999, 0xFFFFFFFFu, 65535};
  TWeblistItem B = MakeWeblistItem(Big, std::string(40, 'n'));
  EXPECT_STREQ(B.Users, "65535/65535");
  EXPECT_STREQ(B.Address, "255.255.255.255:65535");
  EXPECT_STREQ(B.Country, "Unknown");
  EXPECT_EQ(std::string(B.Name), std::string(31, 'n'));

  const char* Want[] = {B.Name, B.ServerType, B.Password, B.Users, B.Country, B.Address};
  for (int Id = 0; Id < 6; ++Id)
    EXPECT_EQ(B.Field(Id), Want[Id]) << Id;
  EXPECT_EQ(B.Field(6), nullptr);
  EXPECT_EQ(B.Field(-1), nullptr);
}

TEST(WeblistList, OwnsItemsInOrder) {
  TWeblistList L;
  EXPECT_EQ(L.GetItem(0), nullptr);
  L.AddServer(TWeblistEntry{}, "a");
  L.AddServer(TWeblistEntry{}, "b");
  ASSERT_EQ(L.Count(), 2);
  EXPECT_STREQ(L.GetItem(0)->Name, "a");
  EXPECT_STREQ(L.GetItem(1)->Name, "b");
  EXPECT_EQ(L.GetItem(2), nullptr);
  EXPECT_EQ(L.GetItem(-1), nullptr);
  L.Clear();
  EXPECT_EQ(L.Count(), 0);
}

TEST(WeblistReply, Parse) {
  const TBytes A = Server(1, 3, 32, 4000, {4, 3, 2, 1}, 9000, "Alpha");
  const TBytes Empty = Server(0, 0, 0, 0, {0, 0, 0, 0}, 0, "");                    // L = 15
  const TBytes Thirty = Server(2, 0, 0, 0, {0, 0, 0, 0}, 0, std::string(30, 'z')); // L = 45
  const TBytes NoZero = Server(0, 0, 0, 0, {0, 0, 0, 0}, 0, "AB", false);          // L = 16
  auto WithLength = [&](uint8_t L) {
    TBytes S = A;
    S[0] = L;
    S.resize(1 + 14 + (L > 14 ? L - 14 : 0), 'q');
    return S;
  };
  struct {
    const char* What;
    TBytes Reply;
    TWeblistReplyEnd End;
    std::vector<std::string> Names;
  } Cases[] = {
      {"end marker only", {0}, TWeblistReplyEnd::EndMarker, {}},
      {"one server", Cat({A, {0}}), TWeblistReplyEnd::EndMarker, {"Alpha"}},
      {"order kept",
       Cat({A, Empty, Thirty, {0}}),
       TWeblistReplyEnd::EndMarker,
       {"Alpha", "", std::string(30, 'z')}},
      {"last name byte becomes the end", Cat({NoZero, {0}}), TWeblistReplyEnd::EndMarker, {"A"}},
      {"length 14", {14}, TWeblistReplyEnd::BadLength, {}},
      {"length 46", {46}, TWeblistReplyEnd::BadLength, {}},
      {"length 200", {200}, TWeblistReplyEnd::BadLength, {}},
      {"length 14 after a server", Cat({A, {14}}), TWeblistReplyEnd::BadLength, {"Alpha"}},
      {"length 46 after a server", Cat({A, {46}}), TWeblistReplyEnd::BadLength, {"Alpha"}},
      {"length 15 with its bytes then 200",
       Cat({WithLength(15), {200}}),
       TWeblistReplyEnd::BadLength,
       {""}},
  };
  for (auto& C : Cases) {
    TWeblistList L;
    EXPECT_EQ(Parse(C.Reply, L), C.End) << C.What;
    ASSERT_EQ(L.Count(), static_cast<int>(C.Names.size())) << C.What;
    for (size_t I = 0; I < C.Names.size(); ++I)
      EXPECT_EQ(L.GetItem(static_cast<int>(I))->Name, C.Names[I]) << C.What;
  }
}

TEST(WeblistReply, EveryCutFails) {
  const TBytes Full = Cat({Server(1, 3, 32, 4000, {4, 3, 2, 1}, 9000, "Alpha"),
                           Server(0, 0, 0, 0, {1, 1, 1, 1}, 1, ""),
                           {0}});
  for (size_t N = 0; N < Full.size(); ++N) {
    TBytes Cut(Full.begin(), Full.begin() + static_cast<std::ptrdiff_t>(N));
    TByteReader R(Cut);
    TWeblistList L;
    EXPECT_THROW(ReadWeblistReply([&](void* B, size_t K) { R.Bytes(B, K); }, L), EReadError) << N;
  }
}

TEST(WeblistReply, StopBetweenServers) {
  const TBytes Reply = Cat({Server(0, 0, 0, 0, {0, 0, 0, 0}, 0, "one"),
                            Server(0, 0, 0, 0, {0, 0, 0, 0}, 0, "two"),
                            {0}});
  TByteReader R(Reply);
  TWeblistList L;
  int Asked = 0;
  auto End =
      ReadWeblistReply([&](void* B, size_t N) { R.Bytes(B, N); }, L, [&] { return ++Asked == 1; });
  EXPECT_EQ(End, TWeblistReplyEnd::Stopped);
  EXPECT_EQ(L.Count(), 1);
}

TEST(WeblistHostSetting, Choice) {
  EXPECT_EQ(WeblistPort, 45648);
  EXPECT_EQ(TWeblistService{}.Port, 45648);
  EXPECT_EQ(TWeblistService{}.ConnectTimeoutMs, 10000);
  EXPECT_EQ(TWeblistService{}.ReadTimeoutMs, 10000);
  EXPECT_EQ(ChooseWeblistHost("cmd", "env", "conf"), "cmd");
  EXPECT_EQ(ChooseWeblistHost("", "env", "conf"), "env");
  EXPECT_EQ(ChooseWeblistHost("", "", "conf"), "conf");
  EXPECT_EQ(ChooseWeblistHost("", "", ""), DefaultWeblistHost);
}

TEST(WeblistHostSetting, FromTheSettingsStore) {
  TConfigFile Config("/nonexistent/never-saved.conf");
  EXPECT_EQ(ReadWeblistHostSetting(Config), "");
  struct {
    const char* Text;
    const char* Host;
  } Cases[] = {
      {"KnownLastVersion=2.0.32.60\r\nWeblistHost=10.1.2.3\r\n", "10.1.2.3"},
      {"weblisthost=list.example.test", "list.example.test"},
      {"WeblistHost=\nKnownLastVersion=1", ""},
      {"XWeblistHost=a\nWeblistHostname=b", ""},
  };
  for (auto& C : Cases) {
    WriteUpdateCheckText(Config, C.Text);
    EXPECT_EQ(ReadWeblistHostSetting(Config), C.Host) << C.Text;
  }
}
