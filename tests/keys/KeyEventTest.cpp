// Key changes turned into actions and whisper targets.
#include <gtest/gtest.h>

#include "KeyFakes.h"
#include "keys/ClientKeyPressBase.h"

using namespace orlavonix;
using namespace orlavonix::test;

namespace {

// A key change in a script: 'kN+' keyboard N down, 'mN-' mouse N up.
struct TStep {
  uint8_t Type;
  uint8_t Code;
  bool Down;
};
TStep Dn(uint8_t Code) {
  return {itKeyboard, Code, true};
}
TStep Up(uint8_t Code) {
  return {itKeyboard, Code, false};
}
TStep MDn(uint8_t Code) {
  return {itMouse, Code, true};
}
TStep MUp(uint8_t Code) {
  return {itMouse, Code, false};
}

struct TBinding {
  std::vector<TKeySpec> Keys;
  int32_t Action;
  std::string Params;
};

class KeyBindings : public testing::Test {
protected:
  TCallLog Log;
  TFakeKeyClient Client{Log};
  TFakeKeyProgram Program{Log};
  TTestKeyPress Press{&Client, &Program};

  void SetUp() override {
    Press.AssignInterceptor(1);
    // Channels: 1 Lobby; 2 Team with 3 Alpha and 4 Bravo; 5 Charlie under
    // Alpha; 7 Delta under Bravo; 6 Other.
    Client.Channels = {{1, -1, "Lobby"},  {2, -1, "Team"},  {3, 2, "Alpha"}, {4, 2, "Bravo"},
                       {5, 3, "Charlie"}, {6, -1, "Other"}, {7, 4, "Delta"}};
    const uint16_t Cc = 1; // channel commander flag
    Client.Players = {{100, 3, Cc, "Me"},  {101, 1, Cc, "Ann"}, {102, 2, Cc, "Bob"},
                      {103, 3, Cc, "Cid"}, {104, 4, Cc, "Dan"}, {105, 5, Cc, "Eve"},
                      {106, 3, 0, "Fay"},  {107, 7, Cc, "Gus"}, {108, 6, Cc, "Hal"},
                      {109, 4, 0, "bob"}};
    Client.EnterChannel(3);
  }

  void Bind(const std::vector<TBinding>& Bindings) {
    for (const auto& B : Bindings)
      Press.AddCombo(MakeCombo(B.Keys[0], B.Keys.size() > 1 ? B.Keys[1] : NoKey(),
                               B.Keys.size() > 2 ? B.Keys[2] : NoKey(), B.Action, B.Params));
    Log.clear();
  }
  void Run(const std::vector<TStep>& Steps) {
    for (const auto& S : Steps)
      Press.Keys().Key(S.Type, S.Code, S.Down);
  }
  // The whisper targets with all combinations' keys of the listed ones held.
  std::string WhisperWhileHeld(const std::vector<TBinding>& Bindings) {
    Bind(Bindings);
    for (const auto& B : Bindings)
      for (const auto& K : B.Keys)
        if (K.InputType == itKeyboard)
          Press.Keys().Key(itKeyboard, K.KeyCode, true);
    return DescribeWhisperBlock(Client.LastBlock) + (Client.LastWhispering ? " on" : " off");
  }
};

} // namespace

TEST_F(KeyBindings, PressActionsFireOncePerCompletion) {
  struct TCase {
    const char* Name;
    std::vector<TBinding> Bindings;
    std::vector<TStep> Steps;
    std::vector<std::string> Expected;
  } Cases[] = {
      {"two keys in order", {{{Kb(10), Kb(11)}, 22, ""}}, {Dn(10), Dn(11)}, {"post 44 size 4"}},
      {"two keys reversed", {{{Kb(10), Kb(11)}, 22, ""}}, {Dn(11), Dn(10)}, {"post 44 size 4"}},
      {"three keys, every order",
       {{{Kb(1), Kb(2), Kb(3)}, 23, ""}},
       {Dn(3), Dn(1), Dn(2), Up(1), Up(2), Up(3), Dn(2), Dn(3), Dn(1)},
       {"post 45 size 4", "post 45 size 4"}},
      {"holding and repeated reports do not repeat",
       {{{Kb(10), Kb(11)}, 22, ""}},
       {Dn(10), Dn(11), Dn(11), Dn(10)},
       {"post 44 size 4"}},
      {"re-pressing one key fires again",
       {{{Kb(10), Kb(11)}, 22, ""}},
       {Dn(10), Dn(11), Up(11), Dn(11), Up(10), Dn(10)},
       {"post 44 size 4", "post 44 size 4", "post 44 size 4"}},
      {"an incomplete combination does nothing",
       {{{Kb(10), Kb(11), Kb(12)}, 22, ""}},
       {Dn(10), Dn(11), Up(10), Dn(12)},
       {}},
      {"mouse and keyboard mixed",
       {{{Mouse(1), Kb(50)}, 40, ""}},
       {MDn(1), Dn(50), MUp(1), MDn(1)},
       {"toggle 0", "toggle 0"}},
      {"both combinations of a key act, in list order",
       {{{Kb(5)}, 41, ""}, {{Kb(5)}, 21, "Home"}},
       {Dn(5)},
       {"toggle 1", "post 46 size 260 'Home'"}},
      {"toggles run their program action",
       {{{Kb(1)}, 40, ""},
        {{Kb(2)}, 41, ""},
        {{Kb(3)}, 42, ""},
        {{Kb(4)}, 43, ""},
        {{Kb(5)}, 44, ""}},
       {Dn(1), Dn(2), Dn(3), Dn(4), Dn(5)},
       {"toggle 0", "toggle 1", "toggle 2", "toggle 3", "toggle 4"}},
      {"volume to a percentage, with blanks and line breaks",
       {{{Kb(1)}, 50, " 150 \r\n"}, {{Kb(2)}, 50, "0"}, {{Kb(3)}, 50, "15x"}, {{Kb(4)}, 50, "99"}},
       {Dn(1), Dn(2), Dn(3), Dn(4)},
       {"volume 15", "volume 0", "volume 9"}},
      {"stored volumes outside 0..200 stay on the slider",
       {{{Kb(1)}, 50, "900"}, {{Kb(2)}, 50, "-30"}},
       {Dn(1), Dn(2)},
       {"volume 20", "volume 0"}},
      {"switch to a channel by name, with a password",
       {{{Kb(1)}, 20, "charlie\r\nsecret"}, {{Kb(2)}, 20, "Lobby"}, {{Kb(3)}, 20, "Nowhere"}},
       {Dn(1), Dn(2), Dn(3)},
       {"switch 5 'secret'", "switch 1 ''"}},
      {"no switch to the own channel", {{{Kb(1)}, 20, "ALPHA"}}, {Dn(1)}, {}},
      {"a key of the third kind is never down",
       {{{Kb(1), TKeySpec::Make(2, 0, "x")}, 40, ""}},
       {Dn(1)},
       {}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    Press.ClearCombos();
    Run({Up(1), Up(2), Up(3), Up(4), Up(5), Up(10), Up(11), Up(12), Up(50), MUp(1)});
    Bind(C.Bindings);
    Run(C.Steps);
    EXPECT_EQ(Log, C.Expected);
  }
}

TEST_F(KeyBindings, VolumeStepsStopAtTheEnds) {
  Bind({{{Kb(1)}, 51, ""}, {{Kb(2)}, 52, ""}});
  struct TCase {
    int Start;
    uint8_t Key;
    std::vector<std::string> Expected;
  } Cases[] = {
      {10, 1, {"volume 11"}}, {19, 1, {"volume 20"}}, {20, 1, {}},
      {10, 2, {"volume 9"}},  {1, 2, {"volume 0"}},   {0, 2, {}},
  };
  for (const auto& C : Cases) {
    Program.Slider = C.Start;
    Log.clear();
    Run({Dn(C.Key), Up(C.Key)});
    EXPECT_EQ(Log, C.Expected) << C.Start << " key " << int(C.Key);
  }
}

TEST_F(KeyBindings, DisabledToggleDoesNothing) {
  Program.Enabled[static_cast<int>(TToggleAction::ChannelCommander)] = false;
  Bind({{{Kb(1)}, 44, ""}, {{Kb(2)}, 43, ""}});
  Run({Dn(1), Dn(2)});
  EXPECT_EQ(Log, (TCallLog{"toggle 3"}));
}

TEST_F(KeyBindings, PushToTalkKeyActsInEveryStateAndAlongsideCombinations) {
  Press.SetPushToTalkKey(itMouse, 2);
  EXPECT_EQ(Log, (TCallLog{"ptt off"})) << "setting the key first releases push-to-talk";
  EXPECT_EQ(Press.PushToTalkKeyName(), "layout-1-2");
  Bind({{{Mouse(2)}, 40, ""}});
  Run({MDn(2), MUp(2)});
  EXPECT_EQ(Log, (TCallLog{"ptt on", "toggle 0", "ptt off"}));

  Client.Connected = false;
  Log.clear();
  Run({MDn(2), MUp(2), Dn(9), Up(9)});
  EXPECT_EQ(Log, (TCallLog{"ptt on", "ptt off"}));
}

TEST_F(KeyBindings, DisconnectedOnlyServerSwitchAndVolumeAct) {
  Client.Connected = false;
  std::vector<TBinding> All;
  for (int32_t A : {1,  2,  3,  10, 11, 12, 13, 14, 15, 16, 17, 20,
                    21, 22, 23, 30, 40, 41, 42, 43, 44, 50, 51, 52})
    All.push_back({{Kb(7)}, A, A == 21 ? "Bookmark" : A == 50 ? "120" : A == 1 ? "Ann" : "Lobby"});
  Bind(All);
  Program.Slider = 10;
  Run({Dn(7), Up(7)});
  EXPECT_EQ(Log, (TCallLog{"post 46 size 260 'Bookmark'", "volume 12", "volume 13", "volume 12"}));
  EXPECT_TRUE(Press.Presets().empty()) << "binding a preset is not done while disconnected";
}

TEST_F(KeyBindings, HeldWhisperRecomputesOnPressAndOnReleaseOfItsKeys) {
  Bind({{{Kb(1), Kb(2)}, 1, "Ann"}, {{Kb(3)}, 15, ""}});
  Run({Dn(1)});
  EXPECT_TRUE(Log.empty()) << "incomplete: no recompute";
  Run({Dn(2)});
  Run({Dn(3)});
  Run({Up(2)});
  Run({Up(1)}); // no longer a complete held combination: nothing to recompute
  Run({Up(3)});
  EXPECT_EQ(Log,
            (TCallLog{"whisper P101 on", "whisper C2 P101 on", "whisper C2 on", "whisper - off"}));
}

TEST_F(KeyBindings, TwoHeldWhisperCombinationsGiveTheUnion) {
  Bind({{{Kb(1)}, 1, "Ann\r\nCid"}, {{Kb(2)}, 1, "Cid\r\nDan"}});
  Run({Dn(1), Dn(2)});
  EXPECT_EQ(Log.back(), "whisper P104 P103 P101 on") << "last combination first, each once";
  Run({Up(2)});
  EXPECT_EQ(Log.back(), "whisper P103 P101 on");
  Run({Up(1)});
  EXPECT_EQ(Log.back(), "whisper - off");
}

TEST_F(KeyBindings, WhisperTargetsForEveryRule) {
  struct TCase {
    const char* Name;
    uint32_t OwnChannel;
    std::vector<TBinding> Held;
    std::string Expected;
  } Cases[] = {
      {"players, last parameter first",
       3,
       {{{Kb(1)}, 1, "Ann\r\nDan\r\nEve"}},
       "P105 P104 P101 on"},
      {"own nickname and repeats never", 3, {{{Kb(1)}, 1, "Ann\r\nME\r\nann\r\nMe"}}, "P101 on"},
      {"a nickname resolves to the first in registry order", 3, {{{Kb(1)}, 1, "BOB"}}, "P102 on"},
      {"unknown names add nothing but still whisper", 3, {{{Kb(1)}, 1, "Zed"}}, "- on"},
      {"channels by name around the own channel",
       3,
       {{{Kb(1)}, 2, "Lobby\r\nCharlie\r\nBravo\r\nTeam\r\nalpha\r\nDelta"}},
       "C3 C2 C4 C5 C1 on"},
      {"all commanders, never the user",
       3,
       {{{Kb(1)}, 10, ""}},
       "P101 P102 P103 P104 P105 P107 P108 on"},
      {"commanders in the own channel", 3, {{{Kb(1)}, 14, ""}}, "P103 on"},
      {"commanders in the parent channel", 3, {{{Kb(1)}, 12, ""}}, "P102 on"},
      {"commanders in siblings and sub-channels", 3, {{{Kb(1)}, 13, ""}}, "P104 P105 on"},
      {"commanders in the channel family", 3, {{{Kb(1)}, 11, ""}}, "P102 P103 P104 P105 on"},
      {"parent channel", 3, {{{Kb(1)}, 15, ""}}, "C2 on"},
      {"sub-channels", 3, {{{Kb(1)}, 16, ""}}, "C5 on"},
      {"channel family with a parent", 3, {{{Kb(1)}, 17, ""}}, "C2 C3 C4 on"},
      {"top level: no parent channel", 2, {{{Kb(1)}, 15, ""}}, "- on"},
      {"top level: commanders in parent", 2, {{{Kb(1)}, 12, ""}}, "- on"},
      {"top level: commanders in sub-channels", 2, {{{Kb(1)}, 13, ""}}, "P103 P104 on"},
      {"top level: commanders in family", 2, {{{Kb(1)}, 11, ""}}, "P102 P103 P104 on"},
      {"top level: channel family is the sub-channels", 2, {{{Kb(1)}, 17, ""}}, "C3 C4 on"},
      {"top level: sub-channels", 2, {{{Kb(1)}, 16, ""}}, "C3 C4 on"},
      {"a press action held adds nothing", 3, {{{Kb(1)}, 40, ""}}, "- off"},
      {"mixed players and channels de-duplicated per kind",
       3,
       {{{Kb(1)}, 16, ""}, {{Kb(2)}, 2, "Charlie"}, {{Kb(3)}, 1, "Eve"}},
       "P105 C5 on"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    Press.ClearCombos();
    Run({Up(1), Up(2), Up(3)});
    Client.EnterChannel(C.OwnChannel);
    EXPECT_EQ(WhisperWhileHeld(C.Held), C.Expected);
  }
}

TEST_F(KeyBindings, PresetsBindTheLastWhispererAndWhisperToIt) {
  Bind({{{Kb(1)}, 30, "4"}, {{Kb(2)}, 3, "4"}});
  Client.LastWhispererId = 104;
  Run({Dn(1), Up(1)});
  EXPECT_EQ(Press.Preset("4"), "Dan");
  Run({Dn(2)});
  EXPECT_EQ(Log.back(), "whisper P104 on");
  Run({Up(2)});

  // Nobody known: the preset goes away.
  Client.LastWhispererId = -1;
  Run({Dn(1), Up(1)});
  EXPECT_TRUE(Press.Presets().empty());
  Run({Dn(2)});
  EXPECT_EQ(Log.back(), "whisper - on");
}

TEST_F(KeyBindings, MoreThan255TargetsAreCut) {
  Client.Players.clear();
  std::string Names;
  for (uint32_t I = 0; I < 300; ++I) {
    Client.Players.push_back({1000 + I, 1, 1, "p" + std::to_string(I)});
    Names = "p" + std::to_string(I) + "\r\n" + Names; // read last to first: p0 comes first
  }
  for (int32_t Action : {10, 1}) {
    SCOPED_TRACE(Action);
    Press.ClearCombos();
    Run({Up(1)});
    Bind({{{Kb(1)}, Action, Action == 1 ? Names : ""}});
    Run({Dn(1)});
    ASSERT_EQ(Client.LastBlock.size(), 1u + 255u * 5u);
    EXPECT_EQ(Client.LastBlock[0], 255);
    TByteReader R(Client.LastBlock.data(), Client.LastBlock.size());
    R.U8();
    for (uint32_t I = 0; I < 255; ++I) {
      EXPECT_EQ(R.U8(), 1);
      EXPECT_EQ(R.U32(), 1000 + I);
    }
  }
}

TEST_F(KeyBindings, CombinationListEditing) {
  Bind({{{Kb(1)}, 40, ""}, {{Kb(2), Kb(3)}, 1, "Ann\r\nBob"}, {{Mouse(0)}, 50, "80"}});
  std::vector<std::string> Keys, Actions;
  Press.ListCombos(Keys, Actions);
  EXPECT_EQ(Keys, (std::vector<std::string>{"k1", "k2 + k3", "m0"}));
  EXPECT_EQ(Actions,
            (std::vector<std::string>{"Toggle away", "whisper to Ann, Bob", "set volume to 80 %"}));
  TKeyCombo* C = nullptr;
  EXPECT_TRUE(Press.GetCombo(2, C));
  EXPECT_EQ(C->Action, 50);
  EXPECT_FALSE(Press.GetCombo(3, C));
  EXPECT_FALSE(Press.GetCombo(-1, C));
  Press.DeleteCombo(0);
  Press.DeleteCombo(7); // outside the list: nothing
  Press.ListCombos(Keys, Actions);
  EXPECT_EQ(Keys, (std::vector<std::string>{"k2 + k3", "m0"}));
}

TEST_F(KeyBindings, OnKeyHookSeesEveryRealChangeAfterTheActions) {
  std::vector<std::string> Seen;
  Press.SetOnKey([&](uint8_t T, uint8_t C, bool P) {
    Seen.push_back(Format("%d:%d:%d after %d", T, C, P ? 1 : 0, static_cast<int>(Log.size())));
  });
  Bind({{{Kb(1)}, 40, ""}});
  Run({Dn(1), Dn(1), Up(1), MDn(3), MUp(3)});
  EXPECT_EQ(Seen, (std::vector<std::string>{"0:1:1 after 1", "0:1:0 after 1", "1:3:1 after 1",
                                            "1:3:0 after 1"}));
  Press.SetOnKey(nullptr);
  Run({Dn(1)});
  EXPECT_EQ(Seen.size(), 4u);
}

TEST(KeyNames, WithoutInterceptorAndForNone) {
  TClientKeyPressBase Press(nullptr, nullptr);
  EXPECT_FALSE(Press.HasInterceptor());
  EXPECT_EQ(Press.KeyName(255, 0), "None");
  EXPECT_EQ(Press.KeyName(0, 38), "Unknown key");
  EXPECT_EQ(Press.PushToTalkKeyName(), "None");
  EXPECT_EQ(Press.PushToTalkKey().InputType, 255);
  Press.KeyEvent(0, 38, true); // no client: nothing to reach, nothing to crash
}
