#pragma once

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/Format.h"
#include "integration/CallbackSync.h"
#include "integration/RemoteControl.h"

namespace orlavonix::test {

// A program that records what the commands ask of it, one text per call.
class TFakeRemoteProgram : public TRemoteProgram {
public:
  bool IsConnected = true;
  bool CanDisconnect = true;
  std::vector<TRemoteChannel> ChannelList;
  std::vector<TRemotePlayer> PlayerList;
  std::optional<uint32_t> Me;
  std::map<std::string, uint32_t> ChannelNames;
  std::vector<uint32_t> Speaking;
  TRemoteServerInfo Server;
  std::vector<std::string> Calls;

  TRemotePlayer* Find(uint32_t Id) {
    for (auto& P : PlayerList)
      if (P.Id == Id)
        return &P;
    return nullptr;
  }

  void PostRecord(const void* Data, int32_t Size) override {
    TEventRecord R(Data, static_cast<size_t>(Size));
    std::string Call = Format("post %d size %d", R.Kind(), Size);
    if (Size == sizeof(TKindTextRecord)) {
      TKindTextRecord T;
      std::memcpy(&T, Data, sizeof T);
      Call += " \"" + T.GetText() + "\"";
    }
    Calls.push_back(Call);
  }
  void Quit() override { Calls.push_back("quit"); }
  bool DisconnectEnabled() override { return CanDisconnect; }
  void ToggleOutputMuted() override { Toggle(pfOutputMuted, "toggle output"); }
  void ToggleInputMuted() override { Toggle(pfInputMuted, "toggle input"); }
  bool Connected() override { return IsConnected; }
  std::optional<uint32_t> ResolveChannelName(const std::string& Name) override {
    auto It = ChannelNames.find(Name);
    if (It == ChannelNames.end())
      return std::nullopt;
    return It->second;
  }
  std::vector<TRemoteChannel> Channels() override { return ChannelList; }
  std::vector<TRemotePlayer> Players() override { return PlayerList; }
  std::optional<uint32_t> OwnPlayerId() override { return Me; }
  TRemoteServerInfo ServerInfo() override { return Server; }
  std::vector<uint32_t> Speakers() override { return Speaking; }
  void SwitchChannel(uint32_t Id, const std::string& Password) override {
    Calls.push_back(Format("switch %u \"%s\"", Id, Password));
  }
  void SetOwnFlags(uint16_t Flags) override { Calls.push_back(Format("flags %d", Flags)); }
  void SetVoiceRequestReason(const std::string& Reason) override {
    Calls.push_back("reason \"" + Reason + "\"");
  }
  void GrantOperator(uint32_t Id, TGrantRevoke G) override {
    Calls.push_back(Format("operator %u %d", Id, static_cast<int>(G)));
  }
  void GrantVoice(uint32_t Id, TGrantRevoke G) override {
    Calls.push_back(Format("voice %u %d", Id, static_cast<int>(G)));
  }
  void KickFromServer(uint32_t Id, const std::string& Reason) override {
    Calls.push_back(Format("kick server %u \"%s\"", Id, Reason));
  }
  void KickFromChannel(uint32_t Id, const std::string& Reason) override {
    Calls.push_back(Format("kick channel %u \"%s\"", Id, Reason));
  }
  void SendChannelMessage(uint32_t Id, const std::string& Text) override {
    Calls.push_back(Format("text %u \"%s\"", Id, Text));
  }

private:
  // The toggles change the own flags at once, as the main window's actions do.
  void Toggle(TPlayerFlag F, const char* Call) {
    Calls.push_back(Call);
    if (Me)
      if (auto* P = Find(*Me))
        P->Flags ^= Bit(F);
  }
};

} // namespace orlavonix::test
