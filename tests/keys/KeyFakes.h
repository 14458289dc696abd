#pragma once
// Test doubles for the two edges of the key bindings that need a running
// program: the connection object's view and the main window's actions. Both
// write what they are asked to do into one shared log, in call order.

#include <cstring>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "base/Format.h"
#include "keys/ClientKeyPressBase.h"

namespace orlavonix::test {

using TCallLog = std::vector<std::string>;

// "P3 C5": the targets of a whisper block in order.
inline std::string DescribeWhisperBlock(const std::vector<uint8_t>& Block) {
  if (Block.empty())
    return "-";
  std::string S;
  TByteReader R(Block.data(), Block.size());
  const uint8_t N = R.U8();
  for (uint8_t I = 0; I < N; ++I) {
    const uint8_t Kind = R.U8();
    const uint32_t Id = R.U32();
    if (!S.empty())
      S += ' ';
    S += (Kind == 1 ? "P" : Kind == 0 ? "C" : "?") + std::to_string(Id);
  }
  if (!R.AtEnd())
    S += " +trailing";
  return S;
}

class TFakeKeyClient : public TKeyClient {
public:
  explicit TFakeKeyClient(TCallLog& Log) : FLog(Log) {}

  bool Connected = true;
  uint32_t OwnId = 100;
  int32_t OwnChannel = -1;
  int32_t OwnParent = -1;
  int32_t LastWhispererId = -1;
  std::vector<TKeyChannel> Channels;
  std::vector<TKeyPlayer> Players;
  std::vector<uint8_t> LastBlock;
  bool LastWhispering = false;
  bool PushToTalk = false;

  bool IsConnected() const override { return Connected; }
  uint32_t OwnPlayerId() const override { return OwnId; }
  int32_t OwnChannelId() const override { return OwnChannel; }
  int32_t OwnChannelParentId() const override { return OwnParent; }
  int32_t LastWhisperer() const override { return LastWhispererId; }
  std::vector<TKeyChannel> ListChannels() const override { return Channels; }
  std::vector<TKeyPlayer> ListPlayers() const override { return Players; }

  void snd_SetPushToTalkPressed(bool Pressed) override {
    PushToTalk = Pressed;
    FLog.push_back(Pressed ? "ptt on" : "ptt off");
  }
  void snd_SetWhisper(std::vector<uint8_t> Targets, bool Whispering) override {
    FLog.push_back("whisper " + DescribeWhisperBlock(Targets) + (Whispering ? " on" : " off"));
    LastBlock = std::move(Targets);
    LastWhispering = Whispering;
  }
  void PlayerSwitchChannel(uint32_t ChannelId, const std::string& Password) override {
    FLog.push_back("switch " + std::to_string(ChannelId) + " '" + Password + "'");
  }

  // Puts the own player into a channel of the registry.
  void EnterChannel(uint32_t Id) {
    OwnChannel = static_cast<int32_t>(Id);
    OwnParent = -1;
    for (const auto& C : Channels)
      if (C.Id == Id)
        OwnParent = C.ParentId;
  }

private:
  TCallLog& FLog;
};

class TFakeKeyProgram : public TKeyProgram {
public:
  explicit TFakeKeyProgram(TCallLog& Log) : FLog(Log) {}

  bool Enabled[5] = {true, true, true, true, true};
  int Slider = 10;
  std::vector<std::string> Errors;

  bool ToggleEnabled(TToggleAction A) override { return Enabled[static_cast<int>(A)]; }
  void RunToggle(TToggleAction A) override {
    FLog.push_back("toggle " + std::to_string(static_cast<int>(A)));
  }
  int VolumeSliderPosition() override { return Slider; }
  void SetVolumeSliderPosition(int Position) override {
    Slider = Position;
    FLog.push_back("volume " + std::to_string(Position));
  }
  void PostRecord(const void* Data, size_t Size) override {
    int32_t Kind = 0;
    std::memcpy(&Kind, Data, sizeof(Kind));
    std::string S = "post " + std::to_string(Kind) + " size " + std::to_string(Size);
    if (Size == sizeof(TKeyKindTextRecord))
      S += " '" + GetShortString(static_cast<const uint8_t*>(Data) + 4, 255) + "'";
    FLog.push_back(S);
  }
  void ShowError(const std::string& Message) override {
    Errors.push_back(Message);
    FLog.push_back("error " + Message);
  }

private:
  TCallLog& FLog;
};

// An interceptor driven by the test: reports go through the same state-table
// filter as the X11 one.
class TScriptedInterceptor : public TKeyInterceptorBase {
public:
  using TKeyInterceptorBase::TKeyInterceptorBase;
  std::string KeyName(uint8_t InputType, uint8_t KeyCode) override {
    return Format("layout-%d-%d", InputType, KeyCode);
  }
  void Key(uint8_t InputType, uint8_t KeyCode, bool Pressed) {
    if (InputType == itKeyboard)
      KeyboardChange(KeyCode, Pressed);
    else
      MouseChange(KeyCode, Pressed);
  }
};

class TTestKeyPress : public TClientKeyPressBase {
public:
  using TClientKeyPressBase::TClientKeyPressBase;
  void AssignInterceptor(int Kind) override {
    FInterceptor.reset();
    if (Kind == 1)
      FInterceptor = std::make_unique<TScriptedInterceptor>(*this);
  }
  TScriptedInterceptor& Keys() { return static_cast<TScriptedInterceptor&>(*FInterceptor); }
};

inline TKeySpec Kb(uint8_t Code) {
  return TKeySpec::Make(itKeyboard, Code, "k" + std::to_string(Code));
}
inline TKeySpec Mouse(uint8_t Code) {
  return TKeySpec::Make(itMouse, Code, "m" + std::to_string(Code));
}
inline TKeySpec NoKey() {
  return TKeySpec::None();
}

inline std::unique_ptr<TKeyCombo> MakeCombo(TKeySpec K1, TKeySpec K2, TKeySpec K3, int32_t Action,
                                            std::string_view Params = {}) {
  auto C = std::make_unique<TKeyCombo>();
  C->SetData(K1, K2, K3, Action, Params);
  return C;
}

} // namespace orlavonix::test
