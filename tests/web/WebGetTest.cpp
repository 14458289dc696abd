// Fetches against the local Python HTTP server (tests/web/http_server.py).
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ScriptProcess.h"
#include "UiLoop.h"
#include "support/LogCapture.h"
#include "web/WebGet.h"

using namespace orlavonix;
using namespace orlavonix::test;
using namespace std::chrono;

namespace {

class WebGetTest : public ::testing::Test {
protected:
  void SetUp() override {
    Server = std::make_unique<TScriptProcess>("http_server.py", std::vector<std::string>{});
    Base = "http://127.0.0.1:" + std::to_string(Server->WaitReady());
  }

  // Runs synchronised calls until the thread has finished (bounded).
  template <typename T> void RunUntilFinished(T& Thread, int TimeoutMs = 20000) {
    auto Deadline = steady_clock::now() + milliseconds(TimeoutMs);
    while (!Thread.Finished()) {
      ASSERT_LT(steady_clock::now(), Deadline) << "fetch did not end in time";
      Ui.RunOne(20);
    }
    while (Ui.RunOne(0)) {
    }
  }

  std::vector<std::string> RequestLog() {
    TFastHTTP H;
    auto R = H.Get(Base + "/_log", 1 << 20);
    std::vector<std::string> Lines;
    std::string S(R.Body.begin(), R.Body.end());
    for (size_t At = 0, Nl; (Nl = S.find('\n', At)) != std::string::npos; At = Nl + 1)
      Lines.push_back(S.substr(At, Nl - At));
    return Lines;
  }

  TUiLoop Ui;
  std::unique_ptr<TScriptProcess> Server;
  std::string Base;
};

struct TTextResult {
  int Calls = 0;
  bool DoneInHandler = false;
  bool Success = false;
  std::string Text;
  bool OnUiThread = false;
};

std::unique_ptr<TWebGet> StartText(const std::string& URL, TTextResult& R,
                                   THttpTimeouts Timeouts = {}) {
  auto Ui = std::this_thread::get_id();
  return std::make_unique<TWebGet>(
      URL,
      [&R, Ui](TWebGet& G) {
        ++R.Calls;
        R.DoneInHandler = G.Done();
        R.Success = G.Success();
        R.Text = G.Text();
        R.OnUiThread = std::this_thread::get_id() == Ui;
      },
      Timeouts);
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

TEST(FastHttp, DefaultTimeouts) {
  THttpTimeouts T;
  EXPECT_EQ(T.ConnectMs, 5000);
  EXPECT_EQ(T.LineMs, 30000);
}

TEST_F(WebGetTest, TextFetchOutcomes) {
  struct {
    const char* What;
    std::string URL;
    bool Success;
    const char* Text;
  } Cases[] = {
      {"version text", Base + "/version", true, "2.0.32.61\n"},
      {"404", Base + "/text?code=404", false, ""},
      {"500", Base + "/text?code=500", false, ""},
      {"nothing listening", "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/version", false,
       ""},
      {"not an http address", "file:///etc/hostname", false, ""},
  };
  for (auto& C : Cases) {
    TTextResult R;
    auto G = StartText(C.URL, R);
    RunUntilFinished(*G);
    EXPECT_EQ(R.Calls, 1) << C.What << ": the handler runs once, also after a failure";
    EXPECT_TRUE(R.DoneInHandler) << C.What;
    EXPECT_TRUE(R.OnUiThread) << C.What;
    EXPECT_EQ(R.Success, C.Success) << C.What;
    EXPECT_EQ(R.Text, C.Text) << C.What;
  }
  auto Log = RequestLog();
  EXPECT_NE(std::find(Log.begin(), Log.end(), "GET /version ZqClient v2.0.32.60"), Log.end());
}

TEST_F(WebGetTest, SilentServerEndsTextFetchAfterLineLimit) {
  for (const char* Path : {"/hang", "/hang?partial=1"}) {
    TTextResult R;
    auto Start = steady_clock::now();
    auto G = StartText(Base + Path, R, THttpTimeouts{5000, 300});
    RunUntilFinished(*G);
    auto Took = duration_cast<milliseconds>(steady_clock::now() - Start).count();
    EXPECT_EQ(R.Calls, 1) << Path;
    EXPECT_FALSE(R.Success) << Path;
    EXPECT_GE(Took, 300) << Path;
    EXPECT_LT(Took, 10000) << Path;
  }
}

TEST_F(WebGetTest, FreeingARunningFetchStopsItWithoutItsHandler) {
  TTextResult R;
  auto G = StartText(Base + "/hang", R); // the full 30 s line limit
  auto Deadline = steady_clock::now() + seconds(10);
  while (RequestLog().empty())
    ASSERT_LT(steady_clock::now(), Deadline) << "request never reached the server";
  auto Start = steady_clock::now();
  G.reset();
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - Start).count(), 5000);
  EXPECT_FALSE(Ui.Pending());
  EXPECT_EQ(R.Calls, 0);
}

TEST_F(WebGetTest, PictureChecks) {
  struct {
    const char* What;
    std::string Query;
    std::optional<std::string> Ext; // none: the handler must not run
    size_t Size;
    bool GetSent;
  } Cases[] = {
      {"largest allowed", "len=51200&type=image/jpeg", ".jpg", 51200, true},
      {"one byte", "len=1&type=image/jpeg", ".jpg", 1, true},
      {"png in any case", "len=10&type=Image/PnG", ".png", 10, true},
      {"jpg spelling", "len=10&type=IMAGE/JPG", ".jpg", 10, true},
      {"one byte too long", "len=51201&type=image/jpeg", std::nullopt, 0, false},
      {"no length", "len=10&type=image/png&cl=none", std::nullopt, 0, false},
      {"zero length", "len=0&type=image/png", std::nullopt, 0, false},
      {"malformed length", "len=10&type=image/png&cl=10x", std::nullopt, 0, false},
      {"404 on HEAD", "len=10&type=image/png&head=404", std::nullopt, 0, false},
      {"gif", "len=10&type=image/gif", std::nullopt, 0, false},
      {"404 on GET", "len=10&type=image/png&get=404", std::nullopt, 0, true},
      {"GET larger than the limit", "len=60000&type=image/png&cl=100", std::nullopt, 0, true},
  };
  int N = 0;
  for (auto& C : Cases) {
    std::string Path = "/img?" + C.Query + "&case=" + std::to_string(N++);
    std::string URL = Base + Path;
    int Calls = 0;
    std::string Ext, GotURL;
    std::vector<uint8_t> Data;
    auto G = std::make_unique<TImageWebGet>(URL, [&](TImageWebGet&, const std::vector<uint8_t>& S,
                                                     const std::string& E, const std::string& U) {
      ++Calls;
      Data = S;
      Ext = E;
      GotURL = U;
    });
    RunUntilFinished(*G);
    auto Log = RequestLog();
    bool HeadSent = std::find(Log.begin(), Log.end(), "HEAD " + Path + " -") != Log.end();
    bool GetSent = std::find(Log.begin(), Log.end(), "GET " + Path + " -") != Log.end();
    EXPECT_TRUE(HeadSent) << C.What;
    EXPECT_EQ(GetSent, C.GetSent) << C.What;
    if (!C.Ext) {
      EXPECT_EQ(Calls, 0) << C.What;
      continue;
    }
    ASSERT_EQ(Calls, 1) << C.What;
    EXPECT_EQ(Ext, *C.Ext) << C.What;
    EXPECT_EQ(GotURL, URL) << C.What;
    ASSERT_EQ(Data.size(), C.Size) << C.What;
    for (size_t I = 0; I < Data.size(); ++I)
      ASSERT_EQ(Data[I], I % 251) << C.What << " byte " << I;
  }
}

TEST_F(WebGetTest, SilentServerEndsPictureFetchAndLogs) {
  test::TLogCaptureScope Log;
  int Calls = 0;
  auto Start = steady_clock::now();
  {
    TImageWebGet G(
        Base + "/hang?partial=1", [&](auto&, auto&, auto&, auto&) { ++Calls; },
        THttpTimeouts{5000, 300});
    RunUntilFinished(G);
  }
  auto Took = duration_cast<milliseconds>(steady_clock::now() - Start).count();
  EXPECT_EQ(Calls, 0);
  EXPECT_GE(Took, 300);
  EXPECT_LT(Took, 10000);
  auto Lines = Log->Joined();
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0], "TImageWebGet.Execute|Exception EHttp: No complete reply line within 300 ms");
}
