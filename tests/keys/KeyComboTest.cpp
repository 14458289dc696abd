// A single binding: key packing, key matching, its texts and its record.
#include <gtest/gtest.h>

#include "KeyFakes.h"
#include "keys/ClientKeyPressBase.h"

using namespace orlavonix;
using namespace orlavonix::test;

namespace {

std::string Slots(const TKeyCombo& C) {
  std::string S;
  for (const TKeySpec* K : {&C.Key1, &C.Key2, &C.Key3})
    S += (S.empty() ? "" : ",") + std::to_string(K->InputType) + ":" + std::to_string(K->KeyCode);
  return S;
}

// A record as the stored form lays it out.
std::vector<uint8_t> Record(std::vector<TKeySpec> Keys, int32_t Action,
                            std::vector<std::string> Params) {
  TByteWriter W;
  for (const auto& K : Keys)
    W.Bytes(&K, sizeof(K));
  W.I32(Action).I32(static_cast<int32_t>(Params.size()));
  for (const auto& P : Params)
    W.U32(static_cast<uint32_t>(P.size())).Bytes(P.data(), P.size());
  return W.Data();
}

TKeySpec RawKey(uint8_t Type, uint8_t Code, uint8_t NameLength) {
  TKeySpec K;
  K.InputType = Type;
  K.KeyCode = Code;
  K.KeyName[0] = NameLength;
  for (size_t I = 1; I < sizeof(K.KeyName); ++I)
    K.KeyName[I] = static_cast<uint8_t>('a' + I % 26);
  return K;
}

} // namespace

TEST(KeySpec, LayoutIsThirtyTwoBytesWithNameCutAt29) {
  TKeySpec K = TKeySpec::Make(itKeyboard, 38, std::string(40, 'x'));
  const auto* B = reinterpret_cast<const uint8_t*>(&K);
  EXPECT_EQ(B[0], itKeyboard);
  EXPECT_EQ(B[1], 38);
  EXPECT_EQ(B[2], 29);
  EXPECT_EQ(K.Name(), std::string(29, 'x'));
  TKeySpec N = TKeySpec::None();
  EXPECT_EQ(N.InputType, 255);
  EXPECT_EQ(N.KeyCode, 0);
  EXPECT_EQ(N.Name(), "None");
}

TEST(KeyCombo, SetDataPacksAssignedKeysToTheFront) {
  struct TCase {
    TKeySpec K1, K2, K3;
    std::string Expected;
  } Cases[] = {
      {Kb(10), Kb(11), Kb(12), "0:10,0:11,0:12"},
      {NoKey(), Kb(11), Kb(12), "0:11,0:12,255:0"},
      {NoKey(), NoKey(), Kb(12), "0:12,255:0,255:0"},
      {Kb(10), NoKey(), Kb(12), "0:10,0:12,255:0"},
      {NoKey(), Kb(11), NoKey(), "0:11,255:0,255:0"},
      {Kb(10), NoKey(), NoKey(), "0:10,255:0,255:0"},
      {Mouse(1), NoKey(), Kb(12), "1:1,0:12,255:0"},
      {NoKey(), NoKey(), NoKey(), "255:0,255:0,255:0"},
  };
  for (const auto& C : Cases) {
    TKeyCombo Combo;
    Combo.SetData(C.K1, C.K2, C.K3, 22, "");
    EXPECT_EQ(Slots(Combo), C.Expected);
  }
}

TEST(KeyCombo, ParamsAreOneLinePerParameterAndGetDataGivesThemBack) {
  struct TCase {
    std::string Text;
    std::vector<std::string> Params;
  } Cases[] = {
      {"", {}},
      {"Alice", {"Alice"}},
      {"Alice\r\nBob\r\n", {"Alice", "Bob"}},
      {"Alice\nBob", {"Alice", "Bob"}},
      {"Lobby\r\n", {"Lobby"}},
      {"Lobby\r\n\r\n", {"Lobby", ""}},
      {"a\rb", {"a", "b"}},
  };
  for (const auto& C : Cases) {
    TKeyCombo Combo;
    Combo.SetData(Kb(1), NoKey(), NoKey(), 1, C.Text);
    EXPECT_EQ(Combo.Params, C.Params) << C.Text;
    TKeySpec A, B, D;
    int32_t Action = 0;
    std::string Text;
    Combo.GetData(A, B, D, Action, Text);
    EXPECT_EQ(Action, 1);
    TKeyCombo Again;
    Again.SetData(A, B, D, Action, Text);
    EXPECT_EQ(Again.Params, C.Params) << "GetData text must give the same parameters back";
  }
}

TEST(KeyCombo, ContainsAllPressedAndWasCompleteFollowTheKeyStates) {
  TCallLog Log;
  TTestKeyPress Press(nullptr, nullptr);
  Press.AssignInterceptor(1);
  TKeyCombo Combo;
  Combo.SetData(Kb(10), Mouse(2), NoKey(), 1, "x");

  EXPECT_TRUE(Combo.Contains(itKeyboard, 10));
  EXPECT_TRUE(Combo.Contains(itMouse, 2));
  EXPECT_FALSE(Combo.Contains(itMouse, 10)) << "type and code must both match";
  EXPECT_FALSE(Combo.Contains(itKeyboard, 2));
  EXPECT_TRUE(Combo.Contains(itNone, 0)) << "an empty slot is type 255 code 0";

  EXPECT_FALSE(Combo.AllPressed(Press));
  Press.Keys().Key(itKeyboard, 10, true);
  EXPECT_FALSE(Combo.AllPressed(Press));
  Press.Keys().Key(itMouse, 2, true);
  EXPECT_TRUE(Combo.AllPressed(Press));

  // The mouse button was just released while the key is still down.
  Press.Keys().Key(itMouse, 2, false);
  EXPECT_TRUE(Combo.WasComplete(Press, itMouse, 2));
  EXPECT_FALSE(Combo.WasComplete(Press, itKeyboard, 11)) << "not one of its keys";
  Press.Keys().Key(itKeyboard, 10, false);
  EXPECT_FALSE(Combo.WasComplete(Press, itMouse, 2)) << "the other key is up too";
}

TEST(KeyCombo, KeysThatNeverCountAsDown) {
  TTestKeyPress Press(nullptr, nullptr);
  Press.AssignInterceptor(1);
  for (uint8_t Code = 0; Code < 5; ++Code)
    Press.Keys().Key(itMouse, Code, true);
  struct TCase {
    TKeySpec Key;
    bool Down;
  } Cases[] = {
      {TKeySpec::Make(itMouse, 3, "m3"), true},
      {TKeySpec::Make(itMouse, 4, "m4"), false},
      {TKeySpec::Make(itOther, 0, "o0"), false},
      {TKeySpec::Make(itOther, 6, "o6"), false},
  };
  for (const auto& C : Cases) {
    TKeyCombo Combo;
    Combo.SetData(C.Key, NoKey(), NoKey(), 40, "");
    EXPECT_EQ(Combo.AllPressed(Press), C.Down) << int(C.Key.InputType) << ":" << int(C.Key.KeyCode);
  }
}

TEST(KeyCombo, DescribeGivesKeyAndActionTexts) {
  struct TCase {
    std::vector<TKeySpec> Keys;
    int32_t Action;
    std::string Params;
    std::string KeyText, ActionText;
  } Cases[] = {
      {{Kb(1), NoKey(), NoKey()}, 1, "Alice\r\nBob\r\nCarol", "k1", "whisper to Alice, Bob, Carol"},
      {{Kb(1), Kb(2), NoKey()}, 2, "Lobby", "k1 + k2", "whisper to channel Lobby"},
      {{Kb(1), Kb(2), Mouse(0)}, 3, "7", "k1 + k2 + m0", "whisper to preset 7"},
      {{Kb(1), NoKey(), NoKey()}, 30, "42", "k1", "bind last whisperer to preset 4"},
      {{Kb(1), NoKey(), NoKey()}, 20, "Lobby\r\nsecret", "k1", "switch to channel Lobby"},
      {{Kb(1), NoKey(), NoKey()}, 21, "My server", "k1", "switch to server My server"},
      {{Kb(1), NoKey(), NoKey()}, 50, " 150 ", "k1", "set volume to 150 %"},
      {{Kb(1), NoKey(), NoKey()}, 10, "", "k1", "whisper to all channel commanders"},
      {{Kb(1), NoKey(), NoKey()}, 11, "", "k1", "whisper to chan. com. in chan. family"},
      {{Kb(1), NoKey(), NoKey()}, 12, "", "k1", "whisper to chan. com. in parent channel"},
      {{Kb(1), NoKey(), NoKey()}, 13, "", "k1", "whisper to chan. com. in subchannels"},
      {{Kb(1), NoKey(), NoKey()}, 14, "", "k1", "whisper to chan. com. in channel"},
      {{Kb(1), NoKey(), NoKey()}, 15, "", "k1", "whisper to parent channel"},
      {{Kb(1), NoKey(), NoKey()}, 16, "", "k1", "whisper to subchannels"},
      {{Kb(1), NoKey(), NoKey()}, 17, "", "k1", "whisper to channel family"},
      {{Kb(1), NoKey(), NoKey()}, 22, "", "k1", "switch to next channel"},
      {{Kb(1), NoKey(), NoKey()}, 23, "", "k1", "switch to prev. channel"},
      {{Kb(1), NoKey(), NoKey()}, 40, "", "k1", "Toggle away"},
      {{Kb(1), NoKey(), NoKey()}, 41, "", "k1", "Toggle mute microphone"},
      {{Kb(1), NoKey(), NoKey()}, 42, "", "k1", "Toggle mute Output"},
      {{Kb(1), NoKey(), NoKey()}, 43, "", "k1", "Toggle block whispers"},
      {{Kb(1), NoKey(), NoKey()}, 44, "", "k1", "Toggle channel commander"},
      {{Kb(1), NoKey(), NoKey()}, 51, "", "k1", "set volume up 10%"},
      {{Kb(1), NoKey(), NoKey()}, 52, "", "k1", "set volume down 10%"},
  };
  for (const auto& C : Cases) {
    TKeyCombo Combo;
    Combo.SetData(C.Keys[0], C.Keys[1], C.Keys[2], C.Action, C.Params);
    std::string K, A;
    Combo.Describe(K, A);
    EXPECT_EQ(K, C.KeyText) << C.Action;
    EXPECT_EQ(A, C.ActionText) << C.Action;
  }
}

TEST(KeyCombo, RecordRoundTripsByteForByte) {
  // Name bytes after the length are kept as read, so a record is written
  // back unchanged.
  auto Bytes = Record({RawKey(0, 38, 3), RawKey(1, 2, 5), RawKey(255, 0, 4)}, 20,
                      {"Lobby", "", std::string(300, 'p')});
  TByteReader R(Bytes.data(), Bytes.size());
  TKeyCombo C;
  C.LoadFromStream(R);
  EXPECT_TRUE(R.AtEnd());
  EXPECT_EQ(C.Action, 20);
  ASSERT_EQ(C.Params.size(), 3u);
  EXPECT_EQ(C.Params[0], "Lobby");
  EXPECT_EQ(C.Params[1], "");
  EXPECT_EQ(C.Params[2].size(), 300u);
  EXPECT_EQ(Slots(C), "0:38,1:2,255:0") << "slots stay as stored";
  TByteWriter W;
  C.SaveToStream(W);
  EXPECT_EQ(W.Data(), Bytes);
}

TEST(KeyCombo, LoadKeepsSlotsAsStoredWithoutPacking) {
  auto Bytes = Record({RawKey(255, 0, 4), RawKey(0, 9, 2), RawKey(255, 0, 4)}, 40, {});
  TByteReader R(Bytes.data(), Bytes.size());
  TKeyCombo C;
  C.LoadFromStream(R);
  EXPECT_EQ(Slots(C), "255:0,0:9,255:0");
}

TEST(KeyCombo, LoadValidatesEveryKeyAndTheAction) {
  struct TCase {
    TKeySpec Bad;
    int32_t Action;
    const char* Error; // nullptr: accepted
  } Cases[] = {
      {RawKey(0, 255, 29), 1, nullptr},
      {RawKey(0, 7, 30), 1, "invalid KeyName"},
      {RawKey(1, 4, 29), 1, nullptr},
      {RawKey(1, 5, 3), 1, "invalid KeyCode"},
      {RawKey(1, 5, 30), 1, "invalid KeyCode"}, // the code is tested first
      {RawKey(1, 0, 30), 1, "invalid KeyName"},
      {RawKey(2, 6, 200), 1, nullptr}, // no name test for type 2
      {RawKey(2, 7, 3), 1, "invalid KeyCode"},
      {RawKey(255, 200, 250), 1, nullptr},
      {RawKey(3, 0, 3), 1, "invalid InputType"},
      {RawKey(254, 0, 3), 1, "invalid InputType"},
      {RawKey(0, 1, 3), 5, "Invalid action"},
      {RawKey(0, 1, 3), 0, "Invalid action"},
      {RawKey(0, 1, 3), 53, "Invalid action"},
      {RawKey(0, 1, 3), -1, "Invalid action"},
  };
  for (const auto& C : Cases)
    for (int Slot = 0; Slot < 3; ++Slot) {
      std::vector<TKeySpec> Keys = {Kb(1), Kb(2), Kb(3)};
      Keys[Slot] = C.Bad;
      auto Bytes = Record(Keys, C.Action, {"p"});
      TByteReader R(Bytes.data(), Bytes.size());
      TKeyCombo Combo;
      SCOPED_TRACE(testing::Message()
                   << "type " << int(C.Bad.InputType) << " code " << int(C.Bad.KeyCode)
                   << " name length " << int(C.Bad.KeyName[0]) << " action " << C.Action << " slot "
                   << Slot);
      if (!C.Error) {
        EXPECT_NO_THROW(Combo.LoadFromStream(R));
        EXPECT_LE(Combo.Key1.Name().size(), 29u);
      } else {
        try {
          Combo.LoadFromStream(R);
          ADD_FAILURE() << "accepted";
        } catch (const EKeyCombo& E) {
          EXPECT_STREQ(E.what(), C.Error);
        }
      }
    }
  // Every number of the action table loads; its neighbours do not.
  for (int32_t A = -2; A < 60; ++A) {
    auto Bytes = Record({Kb(1), NoKey(), NoKey()}, A, {});
    TByteReader R(Bytes.data(), Bytes.size());
    TKeyCombo Combo;
    bool Loaded = true;
    try {
      Combo.LoadFromStream(R);
    } catch (const EKeyCombo&) {
      Loaded = false;
    }
    EXPECT_EQ(Loaded, !KeyActionText(A).empty()) << A;
  }
}

TEST(KeyCombo, EveryTruncationOfARecordFailsCleanly) {
  auto Bytes = Record({Kb(1), Mouse(2), NoKey()}, 1, {"Alice", "Bob"});
  for (size_t Len = 0; Len < Bytes.size(); ++Len) {
    std::vector<uint8_t> Cut(Bytes.begin(), Bytes.begin() + static_cast<long>(Len));
    TByteReader R(Cut.data(), Cut.size());
    TKeyCombo C;
    EXPECT_THROW(C.LoadFromStream(R), EReadError) << Len;
  }
}

TEST(KeyCombo, HugeLengthsAndCountsFailWithoutAllocatingThem) {
  TByteWriter W;
  for (int I = 0; I < 3; ++I) {
    TKeySpec K = Kb(1);
    W.Bytes(&K, sizeof(K));
  }
  W.I32(1).I32(1).U32(0xFFFFFFF0u).Bytes("abc", 3);
  TByteReader R(W.Data().data(), W.Size());
  TKeyCombo C;
  EXPECT_THROW(C.LoadFromStream(R), EReadError);

  TByteWriter W2;
  for (int I = 0; I < 3; ++I) {
    TKeySpec K = Kb(1);
    W2.Bytes(&K, sizeof(K));
  }
  W2.I32(1).I32(INT32_MAX).U32(0);
  TByteReader R2(W2.Data().data(), W2.Size());
  TKeyCombo C2;
  EXPECT_THROW(C2.LoadFromStream(R2), EReadError);

  // A negative count reads no parameters.
  TByteWriter W3;
  for (int I = 0; I < 3; ++I) {
    TKeySpec K = Kb(1);
    W3.Bytes(&K, sizeof(K));
  }
  W3.I32(1).I32(-5);
  TByteReader R3(W3.Data().data(), W3.Size());
  TKeyCombo C3;
  EXPECT_NO_THROW(C3.LoadFromStream(R3));
  EXPECT_TRUE(C3.Params.empty());
}
