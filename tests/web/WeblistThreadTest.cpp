// Downloads against the local Python list service (tests/web/list_service.py).
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ScriptProcess.h"
#include "base/Bytes.h"
#include "web/WeblistRetrieve.h"

using namespace orlavonix;
using namespace orlavonix::test;
using namespace std::chrono;

namespace {
using TBytes = std::vector<uint8_t>;

std::string Hex(const TBytes& B) {
  std::string S;
  char Buf[3];
  for (uint8_t V : B) {
    std::snprintf(Buf, sizeof Buf, "%02x", V);
    S += Buf;
  }
  return S;
}

TBytes Server(uint16_t Flags, uint16_t Players, uint16_t Max, uint16_t Country, TBytes Addr,
              uint16_t Port, const std::string& Name) {
  TByteWriter W;
  W.U8(static_cast<uint8_t>(15 + Name.size())).U16(Flags).U16(Players).U16(Max).U16(Country);
  W.Bytes(Addr.data(), 4).U16(Port).Bytes(Name.data(), Name.size()).U8(0);
  return W.Data();
}

TBytes Cat(std::initializer_list<TBytes> Parts) {
  TBytes Out;
  for (auto& P : Parts)
    Out.insert(Out.end(), P.begin(), P.end());
  return Out;
}

struct TDownload {
  bool Success = false;
  std::unique_ptr<TWeblistList> List;
  std::string Request; // as the service saw it, hex
  long long Ms = 0;
};

bool WaitDone(const TWeblistThread& T, int TimeoutMs) {
  auto Deadline = steady_clock::now() + milliseconds(TimeoutMs);
  while (!T.Done()) {
    if (steady_clock::now() >= Deadline)
      return false;
    std::this_thread::sleep_for(milliseconds(2)); // polling as the connect dialog does, bounded
  }
  return true;
}

// Starts a service with the reply, runs one download against it and tears
// both down the way the connect dialog does (take, Cancel, wait, free).
TDownload Download(const TWeblistFilter& Filter, const TBytes& Reply,
                   std::vector<std::string> Extra = {}, int ReadTimeoutMs = 10000) {
  std::vector<std::string> Args{"--reply", Hex(Reply)};
  Args.insert(Args.end(), Extra.begin(), Extra.end());
  TScriptProcess Service("list_service.py", Args);
  TWeblistService Where{"127.0.0.1", static_cast<uint16_t>(Service.WaitReady()), 10000,
                        ReadTimeoutMs};
  TDownload D;
  auto Start = steady_clock::now();
  auto T = std::make_unique<TWeblistThread>(Filter, Where);
  EXPECT_TRUE(WaitDone(*T, 20000)) << "download did not end in time";
  D.Ms = duration_cast<milliseconds>(steady_clock::now() - Start).count();
  D.Success = T->Success();
  D.List = T->TakeList();
  EXPECT_EQ(T->TakeList(), nullptr) << "the list is handed over once";
  T->Cancel();
  T->WaitFor();
  T.reset();
  if (auto Line = Service.ReadLine(5000); Line && Line->rfind("REQUEST ", 0) == 0)
    D.Request = Line->substr(8);
  return D;
}

uint16_t ClosedPort() {
  int S = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(S, reinterpret_cast<sockaddr*>(&A), sizeof A);
  socklen_t L = sizeof A;
  getsockname(S, reinterpret_cast<sockaddr*>(&A), &L);
  close(S);
  return ntohs(A.sin_port);
}
} // namespace

TEST(WeblistDownload, Requests) {
  TWeblistFilter Europe;
  Europe.Country = 4000;
  TWeblistFilter Named;
  SetWeblistFilterName(Named, "abc");
  Named.NameMode = 1;
  Named.UsersMode = 2;
  Named.UsersValue = 5;
  struct {
    const char* What;
    TWeblistFilter Filter;
    const char* Want;
  } Cases[] = {
      {"default", TWeblistFilter{}, "0b0100000000000000000000"},
      {"Europe", Europe, "0b0101a00f00000000000000"},
      {"name and users", Named,
       "0e01000000000205000001616263"
       "00"},
  };
  for (auto& C : Cases) {
    TDownload D = Download(C.Filter, {0});
    EXPECT_EQ(D.Request, C.Want) << C.What;
    EXPECT_TRUE(D.Success) << C.What;
    ASSERT_NE(D.List, nullptr) << C.What;
    EXPECT_EQ(D.List->Count(), 0) << C.What;
  }
}

TEST(WeblistDownload, Replies) {
  const TBytes A = Server(1, 3, 32, 1541, {4, 3, 2, 1}, 9000, "Alpha");
  const TBytes Empty = Server(2, 0, 0, 0, {1, 1, 1, 1}, 1, "");
  const TBytes Thirty = Server(0, 0, 0, 4000, {1, 1, 1, 1}, 1, std::string(30, 'z'));
  struct {
    const char* What;
    TBytes Reply;
    bool Success;
    int Count;
  } Cases[] = {
      {"names of 0 and 30 characters", Cat({A, Empty, Thirty, {0}}), true, 3},
      {"length byte 14", Cat({A, {14}}), false, 0},
      {"length byte 46", Cat({A, {46}}), false, 0},
      {"length byte 200", Cat({A, {200}}), false, 0},
      {"cut before the end marker", Cat({A, Empty}), false, 0},
      {"cut inside a server", TBytes(A.begin(), A.begin() + 9), false, 0},
      {"nothing at all", {}, false, 0},
  };
  for (auto& C : Cases) {
    TDownload D = Download(TWeblistFilter{}, C.Reply);
    EXPECT_EQ(D.Success, C.Success) << C.What;
    if (!C.Success) {
      EXPECT_EQ(D.List, nullptr) << C.What << ": no partial list";
      continue;
    }
    ASSERT_NE(D.List, nullptr) << C.What;
    ASSERT_EQ(D.List->Count(), C.Count) << C.What;
  }

  TDownload D = Download(TWeblistFilter{}, Cat({A, Empty, Thirty, {0}}));
  ASSERT_TRUE(D.List);
  const TWeblistItem* I = D.List->GetItem(0);
  EXPECT_STREQ(I->Name, "Alpha");
  EXPECT_STREQ(I->ServerType, "Public");
  EXPECT_STREQ(I->Password, "Yes");
  EXPECT_STREQ(I->Users, "   3/  32");
  EXPECT_STREQ(I->Country, "Mali");
  EXPECT_STREQ(I->Address, "1.2.3.4:9000");
  EXPECT_STREQ(D.List->GetItem(1)->Name, "");
  EXPECT_STREQ(D.List->GetItem(1)->ServerType, "Clan");
  EXPECT_EQ(std::string(D.List->GetItem(2)->Name), std::string(30, 'z'));
  EXPECT_STREQ(D.List->GetItem(2)->Country, "Europe");
}

TEST(WeblistDownload, SilentServiceHitsTheReadLimit) {
  TBytes Partial = Server(0, 1, 2, 0, {1, 2, 3, 4}, 5, "x");
  TDownload D = Download(TWeblistFilter{}, Partial, {"--after", "hang"}, 300);
  EXPECT_FALSE(D.Success);
  EXPECT_EQ(D.List, nullptr);
  EXPECT_GE(D.Ms, 300);
  EXPECT_LT(D.Ms, 10000);
}

TEST(WeblistDownload, CancelCutsABlockedRead) {
  TScriptProcess Service("list_service.py", {"--silent"});
  TWeblistService Where{"127.0.0.1", static_cast<uint16_t>(Service.WaitReady())};
  TWeblistThread T(TWeblistFilter{}, Where); // the full 10 s read limit
  EXPECT_FALSE(WaitDone(T, 200));            // the service never answers
  auto Start = steady_clock::now();
  T.Cancel();
  ASSERT_TRUE(WaitDone(T, 5000));
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - Start).count(), 2000);
  EXPECT_FALSE(T.Success());
  EXPECT_EQ(T.TakeList(), nullptr);
  T.WaitFor();
}

TEST(WeblistDownload, NoServiceFails) {
  TWeblistThread T(TWeblistFilter{}, TWeblistService{"127.0.0.1", ClosedPort()});
  ASSERT_TRUE(WaitDone(T, 15000));
  EXPECT_FALSE(T.Success());
  EXPECT_EQ(T.TakeList(), nullptr);
}
