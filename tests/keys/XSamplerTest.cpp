// The sampler against a real X server: keys and buttons injected with XTEST
// travel the notification road into the key bindings.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "KeyFakes.h"
#include "XvfbServer.h"
#include "keys/LinuxKeyPress.h"
#include "protocol/logdebug.h"
#include "support/LogCapture.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace orlavonix;
using namespace orlavonix::test;
using namespace std::chrono_literals;

namespace {

// Stands in for the program's event loop: the sampler's notifications are
// counted, and the test thread (the user-interface thread here) handles one
// value per notification, as the key notification event would.
class TKeyLoop {
public:
  TKeyNotify Hook() {
    return [this] {
      {
        std::lock_guard<std::mutex> G(FLock);
        ++FPosted;
      }
      FWake.notify_all();
    };
  }
  // Handles notifications until Done() holds or the time is up.
  template <typename F>
  bool PumpUntil(TClientKeyPressBase& Press, F Done, std::chrono::milliseconds Timeout = 10s) {
    auto Deadline = std::chrono::steady_clock::now() + Timeout;
    while (!Done()) {
      std::unique_lock<std::mutex> L(FLock);
      if (!FWake.wait_until(L, Deadline, [&] { return FPosted > FHandled; }))
        return Done();
      ++FHandled;
      L.unlock();
      Press.ProcessKeyNotification();
    }
    return true;
  }
  uint64_t Posted() {
    std::lock_guard<std::mutex> G(FLock);
    return FPosted;
  }
  // Handles every notification posted so far, without waiting. After the
  // sampler has completed a pass, everything that pass saw has been posted.
  void Drain(TClientKeyPressBase& Press) {
    std::unique_lock<std::mutex> L(FLock);
    while (FPosted > FHandled) {
      ++FHandled;
      L.unlock();
      Press.ProcessKeyNotification();
      L.lock();
    }
  }

private:
  std::mutex FLock;
  std::condition_variable FWake;
  uint64_t FPosted = 0;
  uint64_t FHandled = 0;
};

class XSampler : public testing::Test {
protected:
  TXvfbServer Server;
  Display* Injector = nullptr;
  test::TLogCapture* Log = nullptr;
  TCallLog Calls;
  TFakeKeyClient Client{Calls};
  TFakeKeyProgram Program{Calls};
  TKeyLoop Loop;
  std::vector<std::string> Seen; // key changes that reached KeyEvent
  uint8_t KeyA = 0;

  void SetUp() override {
    std::string Name = Server.Start();
    if (Name.empty())
      GTEST_SKIP() << "no private X server: " << Server.Error;
    setenv("DISPLAY", Name.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    Injector = XOpenDisplay(Name.c_str());
    ASSERT_NE(Injector, nullptr);
    int Ev, Er, Maj, Min;
    ASSERT_TRUE(XTestQueryExtension(Injector, &Ev, &Er, &Maj, &Min));
    KeyA = static_cast<uint8_t>(XKeysymToKeycode(Injector, XK_a));
    ASSERT_NE(KeyA, 0);
    Log = &test::TLogCapture::Install();
  }
  void TearDown() override {
    if (Injector)
      XCloseDisplay(Injector);
    SetGlobalLog(std::make_unique<TNullLog>());
    Server.Stop();
  }

  std::unique_ptr<TLinuxKeyPress> MakePress(TSamplerOptions Options = {}) {
    auto Press = std::make_unique<TLinuxKeyPress>(&Client, &Program);
    Press->SetKeyNotify(Loop.Hook());
    Press->SetSamplerOptions(Options);
    Press->SetOnKey([this](uint8_t T, uint8_t C, bool P) {
      Seen.push_back(std::to_string(T) + ":" + std::to_string(C) + (P ? "+" : "-"));
    });
    Press->AssignInterceptor(1);
    WaitSampling(*Press);
    return Press;
  }
  // Until the sampler has read its first state, a key change may become part
  // of that state and is then rightly not reported.
  static void WaitSampling(TLinuxKeyPress& Press) {
    auto* S = Sampler(Press);
    auto Deadline = std::chrono::steady_clock::now() + 10s;
    while (!S->Sampling() && !S->Finished() && std::chrono::steady_clock::now() < Deadline)
      S->WaitForPasses(1, 20ms);
    EXPECT_TRUE(S->Sampling());
  }
  static TkbSamplerThread* Sampler(TLinuxKeyPress& Press) {
    return static_cast<TXLibKeyInterceptor*>(Press.Interceptor())->Sampler();
  }
  void Key(uint8_t Code, bool Down) {
    XTestFakeKeyEvent(Injector, Code, Down ? True : False, CurrentTime);
    XSync(Injector, False);
  }
  void Button(unsigned XButton, bool Down) {
    XTestFakeButtonEvent(Injector, XButton, Down ? True : False, CurrentTime);
    XSync(Injector, False);
  }
  bool SeenCount(size_t N, TLinuxKeyPress& Press) {
    return Loop.PumpUntil(Press, [&] { return Seen.size() >= N; });
  }
};

} // namespace

TEST_F(XSampler, KeysAndButtonsReachTheBindingsWithTheirCodesAndNames) {
  auto Press = MakePress();
  Press->SetPushToTalkKey(itKeyboard, KeyA);
  EXPECT_EQ(Press->PushToTalkKeyName(), "a");
  Press->AddCombo(MakeCombo(Mouse(0), NoKey(), NoKey(), 40));
  Press->AddCombo(MakeCombo(Mouse(1), NoKey(), NoKey(), 41));
  Press->AddCombo(MakeCombo(Mouse(2), NoKey(), NoKey(), 42));
  Calls.clear();

  Key(KeyA, true);
  ASSERT_TRUE(SeenCount(1, *Press));
  EXPECT_EQ(Seen[0], "0:" + std::to_string(KeyA) + "+");
  EXPECT_TRUE(Client.PushToTalk);

  // Held: more passes bring no further report.
  ASSERT_TRUE(Sampler(*Press)->WaitForPasses(10, 10s));
  Loop.Drain(*Press);
  EXPECT_EQ(Seen.size(), 1u);

  Key(KeyA, false);
  ASSERT_TRUE(SeenCount(2, *Press));
  EXPECT_EQ(Seen[1], "0:" + std::to_string(KeyA) + "-");
  EXPECT_FALSE(Client.PushToTalk);

  // X buttons 1, 2, 3 are mouse codes 0 (left), 2 (middle), 1 (right).
  Seen.clear();
  Calls.clear();
  const std::pair<unsigned, uint8_t> Buttons[] = {{1, 0}, {2, 2}, {3, 1}};
  for (auto [XButton, Code] : Buttons) {
    Button(XButton, true);
    ASSERT_TRUE(Loop.PumpUntil(*Press, [&] { return Press->KeyState(itMouse, Code); }));
    Button(XButton, false);
    ASSERT_TRUE(Loop.PumpUntil(*Press, [&] { return !Press->KeyState(itMouse, Code); }));
  }
  EXPECT_EQ(Seen, (std::vector<std::string>{"1:0+", "1:0-", "1:2+", "1:2-", "1:1+", "1:1-"}));
  EXPECT_EQ(Calls, (TCallLog{"toggle 0", "toggle 2", "toggle 1"}));
  EXPECT_EQ(Press->KeyName(itMouse, 0), "Mouse btn 0");
  EXPECT_EQ(Press->KeyName(itMouse, 2), "Mouse btn 2");
  EXPECT_EQ(Press->KeyName(itMouse, 1), "Mouse btn 1");
  EXPECT_EQ(Press->KeyName(itKeyboard, static_cast<uint8_t>(XKeysymToKeycode(Injector, XK_space))),
            "space");
  EXPECT_EQ(Press->KeyName(itKeyboard, 3), "Unknown key") << "below the server's key codes";
  int MinCode = 0, MaxCode = 0;
  XDisplayKeycodes(Injector, &MinCode, &MaxCode);
  int PerCode = 0;
  KeySym* Map =
      XGetKeyboardMapping(Injector, static_cast<KeyCode>(MinCode), MaxCode - MinCode + 1, &PerCode);
  int Unmapped = -1;
  for (int Code = MinCode; Code <= MaxCode && Map; ++Code)
    if (Map[(Code - MinCode) * PerCode] == NoSymbol) {
      Unmapped = Code;
      break;
    }
  if (Map)
    XFree(Map);
  if (Unmapped >= 0) {
    EXPECT_EQ(Press->KeyName(itKeyboard, static_cast<uint8_t>(Unmapped)), "Unknown key")
        << "a code without a symbol in this layout: " << Unmapped;
  }
  EXPECT_TRUE(Program.Errors.empty());
}

TEST_F(XSampler, CombinationOfKeyAndButtonFiresOnceWhenComplete) {
  auto Press = MakePress();
  Press->AddCombo(MakeCombo(Kb(KeyA), Mouse(0), NoKey(), 22));
  Calls.clear();
  Key(KeyA, true);
  ASSERT_TRUE(SeenCount(1, *Press));
  Button(1, true);
  ASSERT_TRUE(SeenCount(2, *Press));
  ASSERT_TRUE(Sampler(*Press)->WaitForPasses(5, 10s));
  Loop.Drain(*Press);
  Button(1, false);
  Key(KeyA, false);
  ASSERT_TRUE(SeenCount(4, *Press));
  EXPECT_EQ(Calls, (TCallLog{"post 44 size 4"}));
}

TEST_F(XSampler, AQuickTapMayBeMissedButNeverLeavesAKeyDown) {
  auto Press = MakePress();
  Press->SetPushToTalkKey(itKeyboard, KeyA);
  for (int I = 0; I < 20; ++I) {
    Key(KeyA, true);
    Key(KeyA, false);
  }
  ASSERT_TRUE(Sampler(*Press)->WaitForPasses(5, 10s));
  Loop.Drain(*Press);
  EXPECT_EQ(Sampler(*Press)->PendingCount(), 0u);
  EXPECT_EQ(Seen.size() % 2, 0u) << "every reported press has its release";
  for (size_t I = 0; I < Seen.size(); ++I)
    EXPECT_EQ(Seen[I].back(), I % 2 == 0 ? '+' : '-');
  EXPECT_FALSE(Press->KeyState(itKeyboard, KeyA));
  EXPECT_FALSE(Client.PushToTalk);
}

TEST_F(XSampler, KeyHeldAtStartIsNotReportedUntilItChanges) {
  Key(KeyA, true);
  auto Press = MakePress();
  ASSERT_TRUE(Sampler(*Press)->WaitForPasses(5, 10s));
  Loop.Drain(*Press);
  EXPECT_TRUE(Seen.empty());
  Key(KeyA, false); // reported, but the table already says up: no key event
  ASSERT_TRUE(Sampler(*Press)->WaitForPasses(3, 10s));
  Loop.Drain(*Press);
  EXPECT_TRUE(Seen.empty());
  Key(KeyA, true);
  ASSERT_TRUE(SeenCount(1, *Press));
  EXPECT_EQ(Seen[0], "0:" + std::to_string(KeyA) + "+");
  Key(KeyA, false);
}

TEST_F(XSampler, ReplacingOrRemovingTheInterceptorStopsItsSampler) {
  auto Press = MakePress();
  Press->AssignInterceptor(1); // a new sampler with its own connection
  ASSERT_TRUE(Press->HasInterceptor());
  WaitSampling(*Press);
  Key(KeyA, true);
  ASSERT_TRUE(SeenCount(1, *Press));
  Press->AssignInterceptor(0);
  EXPECT_FALSE(Press->HasInterceptor());
  const uint64_t Posted = Loop.Posted();
  Key(KeyA, false);
  Key(KeyA, true);
  Key(KeyA, false);
  // Give a stray sampler every chance to report: a fresh one sees passes.
  auto Probe = std::make_unique<TkbSamplerThread>(nullptr);
  ASSERT_TRUE(Probe->WaitForPasses(5, 10s));
  Probe.reset();
  EXPECT_EQ(Loop.Posted(), Posted);
  EXPECT_EQ(Log->CountContaining("unable to open display"), 0u);
}

TEST_F(XSampler, WaylandSessionWithoutKeyChangesIsLoggedOnce) {
  TSamplerOptions Quiet;
  Quiet.WaylandSession = true;
  Quiet.WaylandQuietPasses = 5;
  auto Press = MakePress(Quiet);
  auto* S = Sampler(*Press);
  auto Deadline = std::chrono::steady_clock::now() + 10s;
  while (Log->CountContaining("WAYLAND_DISPLAY") == 0 &&
         std::chrono::steady_clock::now() < Deadline)
    S->WaitForPasses(1, 50ms);
  ASSERT_EQ(Log->CountContaining("WAYLAND_DISPLAY"), 1u);
  ASSERT_TRUE(S->WaitForPasses(10, 10s));
  EXPECT_EQ(Log->CountContaining("WAYLAND_DISPLAY"), 1u) << "once only";

  // Not a Wayland session, or keys seen: no note.
  for (bool Wayland : {false, true}) {
    Log->Clear();
    TSamplerOptions O;
    O.WaylandSession = Wayland;
    O.WaylandQuietPasses = 20;
    auto Other = MakePress(O);
    if (Wayland) {
      Key(KeyA, true);
      Key(KeyA, false);
      Key(KeyA, true);
      ASSERT_TRUE(Loop.PumpUntil(*Other, [&] { return Other->KeyState(itKeyboard, KeyA); }));
      Key(KeyA, false);
    }
    ASSERT_TRUE(Sampler(*Other)->WaitForPasses(30, 10s));
    EXPECT_EQ(Log->CountContaining("WAYLAND_DISPLAY"), 0u) << Wayland;
  }
}
