// The whole key road against a real X server and a real connection object:
// a key injected with XTEST is seen by the sampler thread, travels the key
// notification road to the user-interface loop, and the bindings drive the
// connection's transmit path through the adapter.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "KeyClientFixture.h"
#include "KeyFakes.h"
#include "XvfbServer.h"
#include "integration/KeyNotifyRoad.h"
#include "integration/UiLoop.h"
#include "keys/LinuxKeyPress.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace orlavonix;
using namespace orlavonix::test;
using namespace std::chrono_literals;

namespace {

class XClientKeys : public ::testing::Test {
protected:
  TXvfbServer Server;
  Display* Injector = nullptr;
  uint8_t KeyA = 0;
  uint8_t KeyB = 0;

  // The program's wiring, in its order of creation: loop, road, client,
  // key press object (freed first, so that no sampler outlives the road).
  TUiLoop Loop;
  std::unique_ptr<TKeyNotificationRoad> Road;
  std::unique_ptr<TKeyClientRig> Rig;
  std::unique_ptr<TLinuxKeyPress> Press;
  std::thread::id UiThread = std::this_thread::get_id();
  int OffThreadKeys = 0;
  int KeyEvents = 0;

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
    KeyB = static_cast<uint8_t>(XKeysymToKeycode(Injector, XK_b));
    ASSERT_NE(KeyA, 0);
    ASSERT_NE(KeyB, 0);

    Road = std::make_unique<TKeyNotificationRoad>([this] { Press->ProcessKeyNotification(); },
                                                  [this] { Loop.Post([this] { Road->DoIt(); }); });
    Rig = std::make_unique<TKeyClientRig>();
    ASSERT_TRUE(Rig->Login());
    Press = std::make_unique<TLinuxKeyPress>(&Rig->Adapter, nullptr);
    Press->SetKeyNotify(Road->Notifier());
    Press->SetOnKey([this](uint8_t, uint8_t, bool) {
      ++KeyEvents;
      OffThreadKeys += std::this_thread::get_id() != UiThread;
    });
    Press->AssignInterceptor(1);
    auto* S = static_cast<TXLibKeyInterceptor*>(Press->Interceptor())->Sampler();
    ASSERT_NE(S, nullptr);
    auto Deadline = std::chrono::steady_clock::now() + 10s;
    while (!S->Sampling() && !S->Finished() && std::chrono::steady_clock::now() < Deadline)
      S->WaitForPasses(1, 20ms);
    ASSERT_TRUE(S->Sampling());
  }
  void TearDown() override {
    Press.reset();
    Rig.reset();
    Road.reset();
    if (Injector)
      XCloseDisplay(Injector);
    Server.Stop();
  }

  void Key(uint8_t Code, bool Down) {
    XTestFakeKeyEvent(Injector, Code, Down ? True : False, CurrentTime);
    XSync(Injector, False);
  }
  // Runs the user-interface loop until the key's state table entry is Down.
  bool Reached(uint8_t Code, bool Down) {
    return Loop.RunUntil([&] { return Press->KeyState(itKeyboard, Code) == Down; }, 10s);
  }
};

TEST_F(XClientKeys, HeldPushToTalkKeySendsVoiceAndReleasingItStops) {
  Rig->H.Client->snd_SetPushToTalk(true);
  Press->SetPushToTalkKey(itKeyboard, KeyA);
  EXPECT_EQ(Rig->Feed(2), 0) << "push-to-talk not yet pressed";

  Key(KeyA, true);
  ASSERT_TRUE(Reached(KeyA, true));
  EXPECT_EQ(Rig->Feed(4), 4); // 2976 samples: three packets of 800
  ASSERT_TRUE(Rig->WaitVoice(3));
  ASSERT_EQ(Rig->Voice().size(), 3u);
  EXPECT_TRUE(Rig->H.Client->IsTalking(TKeyClientRig::Me));
  for (const auto& V : Rig->Voice())
    EXPECT_EQ(V.Flags, 0);

  Key(KeyA, false);
  ASSERT_TRUE(Reached(KeyA, false));
  EXPECT_EQ(Rig->Feed(4), 0);
  EXPECT_FALSE(Rig->H.Client->IsTalking(TKeyClientRig::Me));
  EXPECT_EQ(Rig->Voice().size(), 3u) << "nothing sent after the release";

  EXPECT_EQ(KeyEvents, 2);
  EXPECT_EQ(OffThreadKeys, 0) << "key events run on the user-interface loop only";
}

TEST_F(XClientKeys, HeldWhisperKeySendsWhisperedVoiceToItsTarget) {
  Rig->H.Client->snd_SetPushToTalk(true);
  Press->SetPushToTalkKey(itKeyboard, KeyA);
  Press->AddCombo(MakeCombo(TKeySpec::Make(itKeyboard, KeyB, "b"), NoKey(), NoKey(),
                            kaWhisperToPlayers, "other"));
  Key(KeyB, true);
  ASSERT_TRUE(Reached(KeyB, true));
  EXPECT_EQ(Rig->Feed(2), 2); // one packet of 800 samples
  ASSERT_TRUE(Rig->WaitVoice(1));
  ASSERT_EQ(Rig->Voice().size(), 1u);
  const TBytes Block = {1, 1, 9, 0, 0, 0};
  for (const auto& V : Rig->Voice()) {
    EXPECT_EQ(V.Flags & 1, 1);
    ASSERT_GT(V.Rest.size(), Block.size());
    EXPECT_EQ(TBytes(V.Rest.begin(), V.Rest.begin() + long(Block.size())), Block);
  }
  Key(KeyB, false);
  ASSERT_TRUE(Reached(KeyB, false));
  EXPECT_EQ(Rig->Feed(2), 0);
  EXPECT_EQ(OffThreadKeys, 0);
}

} // namespace
