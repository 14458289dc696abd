#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Bytes.h"
#include "base/Exceptions.h"
#include "keys/KeyClient.h"
#include "keys/KeyProgram.h"

namespace orlavonix {

// Raised for invalid stored key binding data.
ORLAVONIX_DECLARE_EXCEPTION(EKeyCombo, Exception);

// Input types of a key.
constexpr uint8_t itKeyboard = 0;
constexpr uint8_t itMouse = 1;
constexpr uint8_t itOther = 2; // accepted in stored data, never down
constexpr uint8_t itNone = 255;

constexpr size_t KeyNameMax = 29;

#pragma pack(push, 1)
// One key as stored and shown. Bytes of the name after its length are kept
// as they were read, so that a record written back is unchanged.
struct TKeySpec {
  uint8_t InputType = itNone;
  uint8_t KeyCode = 0;
  uint8_t KeyName[KeyNameMax + 1] = {};

  static TKeySpec Make(uint8_t InputType, uint8_t KeyCode, std::string_view Name);
  static TKeySpec None();
  std::string Name() const { return GetShortString(KeyName, KeyNameMax); }
  void SetName(std::string_view Name) { SetShortString(KeyName, KeyNameMax, Name); }
  bool Assigned() const { return InputType != itNone; }
  bool Is(uint8_t Type, uint8_t Code) const { return InputType == Type && KeyCode == Code; }
};

// Records the key actions post to the program.
struct TKeyKindRecord {
  int32_t Kind;
};
struct TKeyKindTextRecord {
  int32_t Kind;
  uint8_t Text[256]; // string[255]
};
#pragma pack(pop)
static_assert(sizeof(TKeySpec) == 32);
static_assert(offsetof(TKeySpec, KeyCode) == 1);
static_assert(offsetof(TKeySpec, KeyName) == 2);
static_assert(sizeof(TKeyKindRecord) == 4);
static_assert(sizeof(TKeyKindTextRecord) == 260);
static_assert(offsetof(TKeyKindTextRecord, Text) == 4);

// Action numbers.
enum TKeyAction : int32_t {
  kaWhisperToPlayers = 1,
  kaWhisperToChannels = 2,
  kaWhisperToPreset = 3,
  kaWhisperAllCommanders = 10,
  kaWhisperCommandersFamily = 11,
  kaWhisperCommandersParent = 12,
  kaWhisperCommandersSub = 13,
  kaWhisperCommandersChannel = 14,
  kaWhisperParentChannel = 15,
  kaWhisperSubChannels = 16,
  kaWhisperChannelFamily = 17,
  kaSwitchToChannel = 20,
  kaSwitchToServer = 21,
  kaNextChannel = 22,
  kaPrevChannel = 23,
  kaBindLastWhisperer = 30,
  kaToggleAway = 40,
  kaToggleMuteMicrophone = 41,
  kaToggleMuteOutput = 42,
  kaToggleBlockWhispers = 43,
  kaToggleChannelCommander = 44,
  kaSetVolume = 50,
  kaVolumeUp = 51,
  kaVolumeDown = 52,
};

bool IsValidKeyAction(int32_t Action);
// The action's name in lists; empty for an invalid number.
std::string_view KeyActionText(int32_t Action);
// Held actions act while their keys are down; the others once per completion.
inline bool IsHeldAction(int32_t Action) {
  return Action < 20;
}

// Parameter text helpers shared with the binding dialogs.
std::vector<std::string> SplitParamLines(std::string_view Text);
std::string JoinParamLines(const std::vector<std::string>& Lines);
std::string TrimBlanks(std::string_view Text);
// Names compare case-insensitively for the letters A to Z only.
bool SameName(std::string_view A, std::string_view B);

class TClientKeyPressBase;
class TConfigFile;

// One binding: up to three keys and one action with its parameters.
class TKeyCombo {
public:
  TKeySpec Key1 = TKeySpec::None();
  TKeySpec Key2 = TKeySpec::None();
  TKeySpec Key3 = TKeySpec::None();
  int32_t Action = 0;
  std::vector<std::string> Params;

  void SetData(const TKeySpec& K1, const TKeySpec& K2, const TKeySpec& K3, int32_t NewAction,
               std::string_view ParamsText);
  void GetData(TKeySpec& K1, TKeySpec& K2, TKeySpec& K3, int32_t& OutAction,
               std::string& ParamsText) const;
  // The parameters as one text, each line followed by CR LF.
  std::string ParamsText() const { return JoinParamLines(Params); }

  bool Contains(uint8_t InputType, uint8_t KeyCode) const;
  bool AllPressed(const TClientKeyPressBase& Owner) const;
  bool WasComplete(const TClientKeyPressBase& Owner, uint8_t InputType, uint8_t KeyCode) const;
  void Describe(std::string& KeyText, std::string& ActionText) const;

  // Reads one record, validating each key; raises EKeyCombo or EReadError.
  void LoadFromStream(TByteReader& Stream);
  void SaveToStream(TByteWriter& Stream) const;
};

class TKeyInterceptorBase {
public:
  explicit TKeyInterceptorBase(TClientKeyPressBase& Owner) : FOwner(Owner) {}
  virtual ~TKeyInterceptorBase() = default;
  TKeyInterceptorBase(const TKeyInterceptorBase&) = delete;
  TKeyInterceptorBase& operator=(const TKeyInterceptorBase&) = delete;

  virtual std::string KeyName(uint8_t InputType, uint8_t KeyCode) = 0;
  // One waiting key notification, on the user-interface thread.
  virtual void ProcessKey() {}

protected:
  // Pass a reported state on only when it differs from the known one.
  void KeyboardChange(uint8_t KeyCode, bool Pressed);
  void MouseChange(uint8_t KeyCode, bool Pressed);

  TClientKeyPressBase& FOwner;
};

using TOnKeyHook = std::function<void(uint8_t InputType, uint8_t KeyCode, bool Pressed)>;

// Key state tables, bindings and the actions they trigger. Used on the
// user-interface thread only.
class TClientKeyPressBase {
public:
  // Client and Program are not owned and may be null (then nothing is sent).
  TClientKeyPressBase(TKeyClient* Client, TKeyProgram* Program);
  virtual ~TClientKeyPressBase();
  TClientKeyPressBase(const TClientKeyPressBase&) = delete;
  TClientKeyPressBase& operator=(const TClientKeyPressBase&) = delete;

  virtual void AssignInterceptor(int Kind);
  virtual std::string KeyName(uint8_t InputType, uint8_t KeyCode);
  virtual bool KeyState(uint8_t InputType, uint8_t KeyCode) const;

  bool HasInterceptor() const { return FInterceptor != nullptr; }
  TKeyInterceptorBase* Interceptor() const { return FInterceptor.get(); }
  void SetOnKey(TOnKeyHook Hook) { FOnKey = std::move(Hook); }
  const TOnKeyHook& OnKey() const { return FOnKey; }

  void SetPushToTalkKey(uint8_t InputType, uint8_t KeyCode);
  const TKeySpec& PushToTalkKey() const { return FPushToTalkKey; }
  std::string PushToTalkKeyName() const { return FPushToTalkKey.Name(); }

  void AddCombo(std::unique_ptr<TKeyCombo> Combo);
  void DeleteCombo(int Index);
  bool GetCombo(int Index, TKeyCombo*& Combo) const;
  int ComboCount() const { return static_cast<int>(FCombos.size()); }
  void ClearCombos();
  void ListCombos(std::vector<std::string>& KeyTexts, std::vector<std::string>& ActionTexts) const;

  void KeyEvent(uint8_t InputType, uint8_t KeyCode, bool Pressed);
  void UpdateWhisper();
  // The entry for one key notification event: hands it to the interceptor.
  void ProcessKeyNotification();

  // The "Actions V2.0 beta" section of the settings store. Invalid data
  // raises (EKeyCombo, EReadError); bindings read before it stay.
  void LoadFromConfig(TConfigFile& Config);
  // Overwrites the section from its start; it is never shortened.
  void SaveToConfig(TConfigFile& Config) const;
  // The same on the section's bytes: Section is null when it does not exist.
  void LoadFromSection(const std::vector<uint8_t>* Section);
  void SaveToSection(std::vector<uint8_t>& Section) const;

  void ImportKeys(const std::string& FileName);
  void ExportKeys(const std::string& FileName);
  // The same on bytes in memory; ImportKeys reads the file and calls this.
  void ImportKeysFromBytes(const uint8_t* Data, size_t Size);

  // Preset name -> nickname; starts empty, never stored.
  std::string Preset(std::string_view Name) const;
  void SetPreset(std::string_view Name, std::string_view Nick);
  const std::vector<std::pair<std::string, std::string>>& Presets() const { return FPresets; }

  TKeyClient* Client() const { return FClient; }
  TKeyProgram* Program() const { return FProgram; }

  static constexpr const char* SectionName = "Actions V2.0 beta";
  static constexpr uint32_t KbnSignature = 0xBC13FDA7;
  static constexpr size_t KbnMaxFileSize = 16 * 1024 * 1024;

protected:
  std::unique_ptr<TKeyInterceptorBase> FInterceptor;

private:
  friend class TKeyInterceptorBase;

  void RunPressAction(const TKeyCombo& Combo);
  void SwitchToNamedChannel(const TKeyCombo& Combo);
  void PostKindOnly(int32_t Kind);
  void PostKindText(int32_t Kind, std::string_view Text);
  void MoveVolumeSlider(int Position);
  void ShowError(const std::string& Message);
  // Reads a count and that many records, keeping the order they were saved in.
  void ReadCombos(TByteReader& Stream, int32_t Count, bool RenameKeys);
  void WriteCombos(TByteWriter& Stream) const;

  TOnKeyHook FOnKey;
  std::array<bool, 256> FKeyStates{};
  std::array<bool, 4> FMouseStates{};
  TKeyClient* FClient;
  TKeyProgram* FProgram;
  TKeySpec FPushToTalkKey;
  std::vector<std::unique_ptr<TKeyCombo>> FCombos;
  std::vector<std::pair<std::string, std::string>> FPresets;
};

// Channel name resolution relative to the own channel; -1 when not found.
int64_t ResolveChannelName(const std::vector<TKeyChannel>& Channels, int32_t OwnChannel,
                           int32_t OwnParent, std::string_view Name);

} // namespace orlavonix
