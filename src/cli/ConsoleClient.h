#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "cli/CliOptions.h"
#include "config/ConnectInfo.h"
#include "integration/CallbackSync.h"
#include "integration/RemoteControl.h"
#include "integration/SyncCall.h"
#include "integration/UiLoop.h"
#include "protocol/ClientProtocol.h"
#include "voice/LinuxSound.h"

namespace orlavonix {

// The headless client: one TClient driven from standard input. This thread
// is its user-interface thread: events, replies and commands all run here,
// in order, through one task loop.
class TConsoleClient final : public TRemoteProgram {
public:
  TConsoleClient(TCliOptions Options, std::FILE* Out, std::FILE* Err);
  ~TConsoleClient() override;

  // Connects, then serves standard input until QUIT or its end. Returns the
  // process's exit status.
  int Run(int InputFd);

  // TRemoteProgram
  void PostRecord(const void* Data, int32_t Size) override;
  void Quit() override;
  bool DisconnectEnabled() override;
  void ToggleOutputMuted() override;
  void ToggleInputMuted() override;
  bool Connected() override;
  std::optional<uint32_t> ResolveChannelName(const std::string& Name) override;
  std::vector<TRemoteChannel> Channels() override;
  std::vector<TRemotePlayer> Players() override;
  std::optional<uint32_t> OwnPlayerId() override;
  TRemoteServerInfo ServerInfo() override;
  std::vector<uint32_t> Speakers() override;
  void SwitchChannel(uint32_t ChannelId, const std::string& Password) override;
  void SetOwnFlags(uint16_t Flags) override;
  void SetVoiceRequestReason(const std::string& Reason) override;
  void GrantOperator(uint32_t PlayerId, TGrantRevoke Grant) override;
  void GrantVoice(uint32_t PlayerId, TGrantRevoke Grant) override;
  void KickFromServer(uint32_t PlayerId, const std::string& Reason) override;
  void KickFromChannel(uint32_t PlayerId, const std::string& Reason) override;
  void SendChannelMessage(uint32_t ChannelId, const std::string& Text) override;

private:
  void Print(const std::string& Line);
  void HandleEvent(std::unique_ptr<TEventRecord> Record);
  void HandleLine(const std::string& Line);
  void HandleInputEnd();
  // Connects to Info; prints the outcome. Returns the result code.
  int32_t ConnectTo(const TConnectInfo& Info);
  void ConnectToAddress(const std::string& Text);
  void BeginQuit();
  bool ScriptCommand(const std::string& Line, std::string& Reply);
  void ReadInput(int Fd);
  // Settings file, sound device and talk mode; a failure text or empty.
  std::string SetUpSound();
  // "PLAYER nick;CHANNEL name" into a whisper target block; empty when a
  // target is unknown (Error says which).
  std::vector<uint8_t> WhisperTargets(const std::string& Text, std::string& Error);

  TCliOptions FOptions;
  std::FILE* FOut;
  std::FILE* FErr;
  TUiLoop FLoop;
  std::unique_ptr<TSyncCallRoad> FSync;
  std::unique_ptr<TCallbackSynchronizer> FEvents;
  std::unique_ptr<TClient> FClient;
  std::unique_ptr<TLinuxSound> FSound; // after FClient: it calls into the client
  TConnectInfo FInfo{};
  std::string FPendingConnect;  // an address to connect to once idle
  std::set<uint32_t> FSpeakers; // players heard now (kind 17)
  bool FQuitting = false;
  std::chrono::steady_clock::time_point FQuitDeadline;
  bool FDone = false;
  std::atomic<bool> FStopInput{false};
  std::thread FInputThread;
};

} // namespace orlavonix
