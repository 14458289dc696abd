#include "keys/ClientKeyPressBase.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "config/ConfigFile.h"
#include "config/ConfigSections.h"
#include "protocol/ClientProtocolTypes.h"
#include "protocol/logdebug.h"

namespace orlavonix {

// ---------------------------------------------------------------- helpers

namespace {

struct TActionEntry {
  int32_t Action;
  std::string_view Text;
};

constexpr TActionEntry ActionTable[] = {
    {1, "whisper to"},
    {2, "whisper to channel"},
    {3, "whisper to preset"},
    {10, "whisper to all channel commanders"},
    {11, "whisper to chan. com. in chan. family"},
    {12, "whisper to chan. com. in parent channel"},
    {13, "whisper to chan. com. in subchannels"},
    {14, "whisper to chan. com. in channel"},
    {15, "whisper to parent channel"},
    {16, "whisper to subchannels"},
    {17, "whisper to channel family"},
    {20, "switch to channel"},
    {21, "switch to server"},
    {22, "switch to next channel"},
    {23, "switch to prev. channel"},
    {30, "bind last whisperer to preset"},
    {40, "Toggle away"},
    {41, "Toggle mute microphone"},
    {42, "Toggle mute Output"},
    {43, "Toggle block whispers"},
    {44, "Toggle channel commander"},
    {50, "set volume to "},
    {51, "set volume up 10%"},
    {52, "set volume down 10%"},
};

char LowerAZ(char C) {
  return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}

bool IsBlank(char C) {
  return static_cast<unsigned char>(C) <= ' ';
}

// A whole decimal integer with an optional sign, within 32 bits.
bool ReadDecimal(std::string_view Text, int& Value) {
  if (Text.empty())
    return false;
  size_t I = 0;
  bool Negative = false;
  if (Text[0] == '+' || Text[0] == '-') {
    Negative = Text[0] == '-';
    I = 1;
  }
  if (I == Text.size())
    return false;
  int64_t V = 0;
  for (; I < Text.size(); ++I) {
    if (Text[I] < '0' || Text[I] > '9')
      return false;
    V = V * 10 + (Text[I] - '0');
    if (V > (int64_t(1) << 31))
      return false;
  }
  V = Negative ? -V : V;
  if (V > INT32_MAX || V < INT32_MIN)
    return false;
  Value = static_cast<int>(V);
  return true;
}

void ReadKeySpec(TByteReader& Stream, TKeySpec& Key) {
  Stream.Bytes(&Key, sizeof(Key));
  const uint8_t NameLength = Key.KeyName[0];
  switch (Key.InputType) {
  case itKeyboard:
    if (NameLength > KeyNameMax)
      throw EKeyCombo("invalid KeyName");
    break;
  case itMouse:
    if (Key.KeyCode > 4)
      throw EKeyCombo("invalid KeyCode");
    if (NameLength > KeyNameMax)
      throw EKeyCombo("invalid KeyName");
    break;
  case itOther:
    if (Key.KeyCode >= 7)
      throw EKeyCombo("invalid KeyCode");
    break;
  case itNone:
    break;
  default:
    throw EKeyCombo("invalid InputType");
  }
}

void AddTarget(std::vector<std::pair<uint8_t, uint32_t>>& Targets, uint8_t Kind, uint32_t Id,
               uint32_t OwnId) {
  if (Kind == 1 && Id == OwnId)
    return;
  for (const auto& T : Targets)
    if (T.first == Kind && T.second == Id)
      return;
  Targets.emplace_back(Kind, Id);
}

} // namespace

bool IsValidKeyAction(int32_t Action) {
  return std::any_of(std::begin(ActionTable), std::end(ActionTable),
                     [&](const TActionEntry& E) { return E.Action == Action; });
}

std::string_view KeyActionText(int32_t Action) {
  for (const auto& E : ActionTable)
    if (E.Action == Action)
      return E.Text;
  return {};
}

// A line ends at CR LF, LF or CR; a break at the very end starts no new line.
std::vector<std::string> SplitParamLines(std::string_view Text) {
  std::vector<std::string> Lines;
  size_t Start = 0;
  size_t I = 0;
  while (I < Text.size()) {
    char C = Text[I];
    if (C == '\r' || C == '\n') {
      Lines.emplace_back(Text.substr(Start, I - Start));
      if (C == '\r' && I + 1 < Text.size() && Text[I + 1] == '\n')
        ++I;
      Start = I + 1;
    }
    ++I;
  }
  if (Start < Text.size())
    Lines.emplace_back(Text.substr(Start));
  return Lines;
}

std::string JoinParamLines(const std::vector<std::string>& Lines) {
  std::string Text;
  for (const auto& L : Lines) {
    Text += L;
    Text += "\r\n";
  }
  return Text;
}

std::string TrimBlanks(std::string_view Text) {
  size_t B = 0;
  size_t E = Text.size();
  while (B < E && IsBlank(Text[B]))
    ++B;
  while (E > B && IsBlank(Text[E - 1]))
    --E;
  return std::string(Text.substr(B, E - B));
}

bool SameName(std::string_view A, std::string_view B) {
  if (A.size() != B.size())
    return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (LowerAZ(A[I]) != LowerAZ(B[I]))
      return false;
  return true;
}

int64_t ResolveChannelName(const std::vector<TKeyChannel>& Channels, int32_t OwnChannel,
                           int32_t OwnParent, std::string_view Name) {
  for (const auto& C : Channels) {
    if (!SameName(C.Name, Name))
      continue;
    const bool Sub = OwnChannel != -1 && C.ParentId == OwnChannel;
    const bool Sibling = OwnParent != -1 && C.ParentId == OwnParent;
    const bool Parent = OwnParent != -1 && static_cast<int64_t>(C.Id) == OwnParent;
    const bool Self = OwnChannel != -1 && static_cast<int64_t>(C.Id) == OwnChannel;
    if (Sub || Sibling || Parent || Self)
      return C.Id;
  }
  int64_t LastTop = -1;
  for (const auto& C : Channels)
    if (C.ParentId == -1 && SameName(C.Name, Name))
      LastTop = C.Id;
  return LastTop;
}

// ---------------------------------------------------------------- TKeySpec

TKeySpec TKeySpec::Make(uint8_t InputType, uint8_t KeyCode, std::string_view Name) {
  TKeySpec K;
  K.InputType = InputType;
  K.KeyCode = KeyCode;
  K.SetName(Name);
  return K;
}

TKeySpec TKeySpec::None() {
  return Make(itNone, 0, "None");
}

// ---------------------------------------------------------------- TKeyCombo

void TKeyCombo::SetData(const TKeySpec& K1, const TKeySpec& K2, const TKeySpec& K3,
                        int32_t NewAction, std::string_view ParamsText) {
  // Assigned keys move to the front in their order, also when only the
  // third slot was set.
  const TKeySpec In[] = {K1, K2, K3}; // copies: the arguments may be our own slots
  TKeySpec* Slots[] = {&Key1, &Key2, &Key3};
  size_t Next = 0;
  for (const TKeySpec& K : In)
    if (K.InputType != itNone)
      *Slots[Next++] = K;
  for (; Next < 3; ++Next)
    *Slots[Next] = TKeySpec::None();
  Action = NewAction;
  Params = SplitParamLines(ParamsText);
}

void TKeyCombo::GetData(TKeySpec& K1, TKeySpec& K2, TKeySpec& K3, int32_t& OutAction,
                        std::string& OutParamsText) const {
  K1 = Key1;
  K2 = Key2;
  K3 = Key3;
  OutAction = Action;
  OutParamsText = ParamsText();
}

bool TKeyCombo::Contains(uint8_t InputType, uint8_t KeyCode) const {
  return Key1.Is(InputType, KeyCode) || Key2.Is(InputType, KeyCode) || Key3.Is(InputType, KeyCode);
}

bool TKeyCombo::AllPressed(const TClientKeyPressBase& Owner) const {
  for (const TKeySpec* K : {&Key1, &Key2, &Key3})
    if (K->InputType != itNone && !Owner.KeyState(K->InputType, K->KeyCode))
      return false;
  return true;
}

bool TKeyCombo::WasComplete(const TClientKeyPressBase& Owner, uint8_t InputType,
                            uint8_t KeyCode) const {
  if (!Contains(InputType, KeyCode))
    return false;
  for (const TKeySpec* K : {&Key1, &Key2, &Key3})
    if (K->InputType != itNone && !Owner.KeyState(K->InputType, K->KeyCode) &&
        !K->Is(InputType, KeyCode))
      return false;
  return true;
}

void TKeyCombo::Describe(std::string& KeyText, std::string& ActionText) const {
  KeyText = Key1.Name();
  if (Key2.Assigned())
    KeyText += " + " + Key2.Name();
  if (Key3.Assigned())
    KeyText += " + " + Key3.Name();

  ActionText = std::string(KeyActionText(Action));
  switch (Action) {
  case kaWhisperToPlayers:
  case kaWhisperToChannels:
    ActionText += ' ';
    for (size_t I = 0; I < Params.size(); ++I) {
      if (I > 0)
        ActionText += ", ";
      ActionText += Params[I];
    }
    break;
  case kaWhisperToPreset:
  case kaBindLastWhisperer: {
    std::string Text = ParamsText();
    ActionText += ' ';
    if (!Text.empty())
      ActionText += Text[0];
    break;
  }
  case kaSwitchToChannel:
  case kaSwitchToServer:
    ActionText += ' ';
    if (!Params.empty())
      ActionText += Params[0];
    break;
  case kaSetVolume:
    ActionText += TrimBlanks(ParamsText()) + " %";
    break;
  default:
    break;
  }
}

void TKeyCombo::LoadFromStream(TByteReader& Stream) {
  ReadKeySpec(Stream, Key1);
  ReadKeySpec(Stream, Key2);
  ReadKeySpec(Stream, Key3);
  int32_t NewAction = Stream.I32();
  if (!IsValidKeyAction(NewAction))
    throw EKeyCombo("Invalid action");
  Action = NewAction;
  int32_t Count = Stream.I32();
  for (int32_t I = 0; I < Count; ++I) {
    uint32_t Length = Stream.U32();
    auto Text = Stream.Take(Length); // bounded by the data: a huge length fails here
    Params.emplace_back(reinterpret_cast<const char*>(Text.data()), Text.size());
  }
}

void TKeyCombo::SaveToStream(TByteWriter& Stream) const {
  Stream.Bytes(&Key1, sizeof(Key1));
  Stream.Bytes(&Key2, sizeof(Key2));
  Stream.Bytes(&Key3, sizeof(Key3));
  Stream.I32(Action);
  Stream.I32(static_cast<int32_t>(Params.size()));
  for (const auto& P : Params) {
    Stream.U32(static_cast<uint32_t>(P.size()));
    Stream.Bytes(P.data(), P.size());
  }
}

// ---------------------------------------------------------------- interceptor

void TKeyInterceptorBase::KeyboardChange(uint8_t KeyCode, bool Pressed) {
  if (FOwner.FKeyStates[KeyCode] == Pressed)
    return;
  FOwner.FKeyStates[KeyCode] = Pressed;
  FOwner.KeyEvent(itKeyboard, KeyCode, Pressed);
}

void TKeyInterceptorBase::MouseChange(uint8_t KeyCode, bool Pressed) {
  if (KeyCode >= FOwner.FMouseStates.size())
    return;
  if (FOwner.FMouseStates[KeyCode] == Pressed)
    return;
  FOwner.FMouseStates[KeyCode] = Pressed;
  FOwner.KeyEvent(itMouse, KeyCode, Pressed);
}

// ---------------------------------------------------------------- key press object

TClientKeyPressBase::TClientKeyPressBase(TKeyClient* Client, TKeyProgram* Program)
    : FClient(Client), FProgram(Program) {
  FPushToTalkKey = TKeySpec::Make(itNone, 0, KeyName(itNone, 0));
}

TClientKeyPressBase::~TClientKeyPressBase() {
  // The interceptor's sampler must stop before the tables it reports into go.
  FInterceptor.reset();
  FPresets.clear();
  while (!FCombos.empty())
    FCombos.pop_back();
}

void TClientKeyPressBase::AssignInterceptor(int) {}

std::string TClientKeyPressBase::KeyName(uint8_t InputType, uint8_t KeyCode) {
  if (InputType == itNone)
    return "None";
  if (FInterceptor)
    return FInterceptor->KeyName(InputType, KeyCode);
  return "Unknown key";
}

bool TClientKeyPressBase::KeyState(uint8_t InputType, uint8_t KeyCode) const {
  if (InputType == itKeyboard)
    return FKeyStates[KeyCode];
  if (InputType == itMouse)
    return KeyCode < FMouseStates.size() && FMouseStates[KeyCode];
  return false;
}

void TClientKeyPressBase::SetPushToTalkKey(uint8_t InputType, uint8_t KeyCode) {
  if (FClient)
    FClient->snd_SetPushToTalkPressed(false);
  FPushToTalkKey = TKeySpec::Make(InputType, KeyCode, KeyName(InputType, KeyCode));
}

void TClientKeyPressBase::AddCombo(std::unique_ptr<TKeyCombo> Combo) {
  if (!Combo)
    return;
  FCombos.push_back(std::move(Combo));
  UpdateWhisper();
}

void TClientKeyPressBase::DeleteCombo(int Index) {
  if (Index < 0 || Index >= ComboCount())
    return;
  FCombos.erase(FCombos.begin() + Index);
}

bool TClientKeyPressBase::GetCombo(int Index, TKeyCombo*& Combo) const {
  if (Index < 0 || Index >= ComboCount())
    return false;
  Combo = FCombos[static_cast<size_t>(Index)].get();
  return true;
}

void TClientKeyPressBase::ClearCombos() {
  while (!FCombos.empty())
    FCombos.pop_back();
  UpdateWhisper();
}

void TClientKeyPressBase::ListCombos(std::vector<std::string>& KeyTexts,
                                     std::vector<std::string>& ActionTexts) const {
  KeyTexts.clear();
  ActionTexts.clear();
  for (const auto& C : FCombos) {
    std::string K, A;
    C->Describe(K, A);
    KeyTexts.push_back(std::move(K));
    ActionTexts.push_back(std::move(A));
  }
}

void TClientKeyPressBase::KeyEvent(uint8_t InputType, uint8_t KeyCode, bool Pressed) {
  if (FPushToTalkKey.Is(InputType, KeyCode) && FClient)
    FClient->snd_SetPushToTalkPressed(Pressed);

  const bool Connected = FClient && FClient->IsConnected();
  if (Connected) {
    if (Pressed) {
      bool Recompute = false;
      // Indexing, not iterators: an action may not change the list, but a
      // program callback could; never walk a stale range.
      for (size_t I = 0; I < FCombos.size(); ++I) {
        const TKeyCombo& C = *FCombos[I];
        if (!C.Contains(InputType, KeyCode) || !C.AllPressed(*this))
          continue;
        if (IsHeldAction(C.Action))
          Recompute = true;
        else
          RunPressAction(C);
      }
      if (Recompute)
        UpdateWhisper();
    } else {
      for (const auto& C : FCombos) {
        if (C->Contains(InputType, KeyCode) && C->WasComplete(*this, InputType, KeyCode) &&
            IsHeldAction(C->Action)) {
          UpdateWhisper();
          break;
        }
      }
    }
  } else if (Pressed) {
    for (size_t I = 0; I < FCombos.size(); ++I) {
      const TKeyCombo& C = *FCombos[I];
      if (!C.Contains(InputType, KeyCode) || !C.AllPressed(*this))
        continue;
      switch (C.Action) {
      case kaSwitchToServer:
      case kaSetVolume:
      case kaVolumeUp:
      case kaVolumeDown:
        RunPressAction(C);
        break;
      default:
        break;
      }
    }
  }

  if (FOnKey)
    FOnKey(InputType, KeyCode, Pressed);
}

void TClientKeyPressBase::RunPressAction(const TKeyCombo& Combo) {
  const std::string First = Combo.Params.empty() ? std::string() : Combo.Params[0];
  switch (Combo.Action) {
  case kaSwitchToChannel:
    SwitchToNamedChannel(Combo);
    break;
  case kaSwitchToServer:
    PostKindText(KeyPostConnectBookmark, First);
    break;
  case kaNextChannel:
    PostKindOnly(KeyPostNextChannel);
    break;
  case kaPrevChannel:
    PostKindOnly(KeyPostPrevChannel);
    break;
  case kaBindLastWhisperer: {
    std::string Nick;
    if (FClient) {
      const int32_t Last = FClient->LastWhisperer();
      if (Last != -1)
        for (const auto& P : FClient->ListPlayers())
          if (P.Id == static_cast<uint32_t>(Last)) {
            Nick = P.Nick;
            break;
          }
    }
    SetPreset(First, Nick);
    break;
  }
  case kaToggleAway:
  case kaToggleMuteMicrophone:
  case kaToggleMuteOutput:
  case kaToggleBlockWhispers:
  case kaToggleChannelCommander: {
    auto Toggle = static_cast<TToggleAction>(Combo.Action - kaToggleAway);
    if (FProgram && FProgram->ToggleEnabled(Toggle))
      FProgram->RunToggle(Toggle);
    break;
  }
  case kaSetVolume: {
    int V = 0;
    if (ReadDecimal(TrimBlanks(Combo.ParamsText()), V))
      MoveVolumeSlider(V / 10);
    break;
  }
  case kaVolumeUp:
    if (FProgram) {
      int Pos = FProgram->VolumeSliderPosition();
      if (Pos < 20)
        MoveVolumeSlider(Pos + 1);
    }
    break;
  case kaVolumeDown:
    if (FProgram) {
      int Pos = FProgram->VolumeSliderPosition();
      if (Pos > 0)
        MoveVolumeSlider(Pos - 1);
    }
    break;
  default:
    break;
  }
}

void TClientKeyPressBase::SwitchToNamedChannel(const TKeyCombo& Combo) {
  if (!FClient || Combo.Params.empty())
    return;
  const int32_t Own = FClient->OwnChannelId();
  const int64_t Id = ResolveChannelName(FClient->ListChannels(), Own, FClient->OwnChannelParentId(),
                                        Combo.Params[0]);
  if (Id < 0 || Id == static_cast<int64_t>(static_cast<uint32_t>(Own)))
    return;
  FClient->PlayerSwitchChannel(static_cast<uint32_t>(Id),
                               Combo.Params.size() > 1 ? Combo.Params[1] : std::string());
}

// The slider has 21 steps; a stored volume outside 0..200 % must not leave them.
void TClientKeyPressBase::MoveVolumeSlider(int Position) {
  if (FProgram)
    FProgram->SetVolumeSliderPosition(std::clamp(Position, 0, 20));
}

void TClientKeyPressBase::PostKindOnly(int32_t Kind) {
  if (!FProgram)
    return;
  TKeyKindRecord R{Kind};
  FProgram->PostRecord(&R, sizeof(R));
}

void TClientKeyPressBase::PostKindText(int32_t Kind, std::string_view Text) {
  if (!FProgram)
    return;
  TKeyKindTextRecord R{};
  R.Kind = Kind;
  SetShortString(R.Text, 255, Text);
  FProgram->PostRecord(&R, sizeof(R));
}

void TClientKeyPressBase::ShowError(const std::string& Message) {
  if (FProgram)
    FProgram->ShowError(Message);
}

void TClientKeyPressBase::UpdateWhisper() {
  std::vector<std::pair<uint8_t, uint32_t>> Targets;
  bool Whispering = false;

  std::vector<TKeyChannel> Channels;
  std::vector<TKeyPlayer> Players;
  uint32_t OwnId = 0;
  int32_t OwnChannel = -1;
  int32_t OwnParent = -1;
  if (FClient) {
    Channels = FClient->ListChannels();
    Players = FClient->ListPlayers();
    OwnId = FClient->OwnPlayerId();
    OwnChannel = FClient->OwnChannelId();
    OwnParent = FClient->OwnChannelParentId();
  }
  auto Add = [&](uint8_t Kind, uint32_t Id) { AddTarget(Targets, Kind, Id, OwnId); };
  auto IsChannel = [](uint32_t Id, int32_t Wanted) {
    return Wanted != -1 && Id == static_cast<uint32_t>(Wanted);
  };
  auto ChildOf = [](const TKeyChannel& C, int32_t Parent) {
    return Parent != -1 && C.ParentId == Parent;
  };
  auto FindNick = [&](std::string_view Nick) -> const TKeyPlayer* {
    for (const auto& P : Players)
      if (SameName(P.Nick, Nick))
        return &P;
    return nullptr;
  };
  // Commanders in the registry order of players, picked by their channel.
  auto AddCommanders = [&](const std::function<bool(uint32_t ChannelId)>& InScope) {
    for (const auto& P : Players)
      if (HasFlag(P.Flags, pfChannelCommander) && InScope(P.ChannelId))
        Add(1, P.Id);
  };
  auto IsSibling = [&](uint32_t Ch) {
    if (OwnParent == -1)
      return false;
    for (const auto& C : Channels)
      if (C.Id == Ch)
        return C.ParentId == OwnParent && !IsChannel(Ch, OwnChannel);
    return false;
  };
  auto IsSub = [&](uint32_t Ch) {
    for (const auto& C : Channels)
      if (C.Id == Ch)
        return ChildOf(C, OwnChannel);
    return false;
  };

  for (auto It = FCombos.rbegin(); It != FCombos.rend(); ++It) {
    const TKeyCombo& C = **It;
    if (!IsHeldAction(C.Action) || !C.AllPressed(*this))
      continue;
    Whispering = true;
    switch (C.Action) {
    case kaWhisperToPlayers:
      for (auto P = C.Params.rbegin(); P != C.Params.rend(); ++P)
        if (const TKeyPlayer* Found = FindNick(*P))
          Add(1, Found->Id);
      break;
    case kaWhisperToChannels:
      for (auto P = C.Params.rbegin(); P != C.Params.rend(); ++P) {
        int64_t Id = ResolveChannelName(Channels, OwnChannel, OwnParent, *P);
        if (Id >= 0)
          Add(0, static_cast<uint32_t>(Id));
      }
      break;
    case kaWhisperToPreset:
      if (!C.Params.empty()) {
        std::string Nick = Preset(C.Params[0]);
        if (!Nick.empty())
          if (const TKeyPlayer* Found = FindNick(Nick))
            Add(1, Found->Id);
      }
      break;
    case kaWhisperAllCommanders:
      AddCommanders([](uint32_t) { return true; });
      break;
    case kaWhisperCommandersChannel:
      AddCommanders([&](uint32_t Ch) { return IsChannel(Ch, OwnChannel); });
      break;
    case kaWhisperCommandersParent:
      AddCommanders([&](uint32_t Ch) { return IsChannel(Ch, OwnParent); });
      break;
    case kaWhisperCommandersSub:
      AddCommanders([&](uint32_t Ch) { return IsSibling(Ch) || IsSub(Ch); });
      break;
    case kaWhisperCommandersFamily:
      AddCommanders([&](uint32_t Ch) {
        return IsChannel(Ch, OwnChannel) || IsChannel(Ch, OwnParent) || IsSibling(Ch) || IsSub(Ch);
      });
      break;
    case kaWhisperParentChannel:
      if (OwnParent != -1)
        Add(0, static_cast<uint32_t>(OwnParent));
      break;
    case kaWhisperSubChannels:
      for (const auto& Ch : Channels)
        if (ChildOf(Ch, OwnChannel))
          Add(0, Ch.Id);
      break;
    case kaWhisperChannelFamily:
      if (OwnParent != -1) {
        Add(0, static_cast<uint32_t>(OwnParent));
        for (const auto& Ch : Channels)
          if (ChildOf(Ch, OwnParent))
            Add(0, Ch.Id);
      } else {
        for (const auto& Ch : Channels)
          if (ChildOf(Ch, OwnChannel))
            Add(0, Ch.Id);
      }
      break;
    default:
      break;
    }
  }

  std::vector<uint8_t> Block;
  if (!Targets.empty()) {
    const size_t N = std::min<size_t>(Targets.size(), 255);
    TByteWriter W;
    W.U8(static_cast<uint8_t>(N));
    for (size_t I = 0; I < N; ++I)
      W.U8(Targets[I].first).U32(Targets[I].second);
    Block = std::move(W.Data());
  }
  if (FClient)
    FClient->snd_SetWhisper(std::move(Block), Whispering);
}

void TClientKeyPressBase::ProcessKeyNotification() {
  if (FInterceptor)
    FInterceptor->ProcessKey();
}

std::string TClientKeyPressBase::Preset(std::string_view Name) const {
  for (const auto& P : FPresets)
    if (SameName(P.first, Name))
      return P.second;
  return {};
}

void TClientKeyPressBase::SetPreset(std::string_view Name, std::string_view Nick) {
  auto It = std::find_if(FPresets.begin(), FPresets.end(),
                         [&](const auto& P) { return SameName(P.first, Name); });
  if (Nick.empty()) {
    if (It != FPresets.end())
      FPresets.erase(It);
    return;
  }
  if (It != FPresets.end())
    It->second = std::string(Nick);
  else
    FPresets.emplace_back(std::string(Name), std::string(Nick));
}

// ---------------------------------------------------------------- stored forms

// Records are stored last-to-first; putting each one read at the front
// restores the user's order. A record that fails to read is dropped, and
// those read before it stay.
void TClientKeyPressBase::ReadCombos(TByteReader& Stream, int32_t Count, bool RenameKeys) {
  for (int32_t I = 0; I < Count; ++I) {
    auto Combo = std::make_unique<TKeyCombo>();
    Combo->LoadFromStream(Stream);
    if (RenameKeys)
      for (TKeySpec* K : {&Combo->Key1, &Combo->Key2, &Combo->Key3})
        K->SetName(KeyName(K->InputType, K->KeyCode));
    FCombos.insert(FCombos.begin(), std::move(Combo));
  }
}

void TClientKeyPressBase::WriteCombos(TByteWriter& Stream) const {
  for (auto It = FCombos.rbegin(); It != FCombos.rend(); ++It)
    (*It)->SaveToStream(Stream);
}

void TClientKeyPressBase::LoadFromSection(const std::vector<uint8_t>* Section) {
  ClearCombos();
  if (!Section) {
    FPushToTalkKey = TKeySpec::None();
    return;
  }
  TByteReader R(Section->data(), Section->size());
  TKeySpec Ptt;
  R.Bytes(&Ptt, sizeof(Ptt));
  FPushToTalkKey = Ptt;
  int32_t Count = R.I32();
  ReadCombos(R, Count, false);
}

void TClientKeyPressBase::SaveToSection(std::vector<uint8_t>& Section) const {
  TByteWriter W;
  W.Bytes(&FPushToTalkKey, sizeof(FPushToTalkKey));
  W.I32(static_cast<int32_t>(FCombos.size()));
  WriteCombos(W);
  if (Section.size() < W.Size())
    Section.resize(W.Size());
  std::copy(W.Data().begin(), W.Data().end(), Section.begin());
}

void TClientKeyPressBase::LoadFromConfig(TConfigFile& Config) {
  TMemoryStream* S = Config.GetSection(SectionActions, false);
  if (!S) {
    LoadFromSection(nullptr);
    return;
  }
  S->Seek(0);
  LoadFromSection(&S->Bytes());
}

void TClientKeyPressBase::SaveToConfig(TConfigFile& Config) const {
  std::vector<uint8_t> Bytes;
  SaveToSection(Bytes);
  TMemoryStream* S = Config.GetSection(SectionActions, true);
  S->Seek(0);
  S->Write(Bytes.data(), Bytes.size());
}

void TClientKeyPressBase::ImportKeysFromBytes(const uint8_t* Data, size_t Size) {
  try {
    TByteReader R(Data, Size);
    uint32_t Signature = R.U32();
    uint8_t Major = R.U8();
    R.U8(); // minor version: any
    if (Signature != KbnSignature) {
      ShowError("This is not a keybindinds file");
      return;
    }
    if (Major > 1) {
      ShowError("Wrong File version");
      return;
    }
    ClearCombos();
    int32_t Count = R.I32();
    // Names follow this machine's keyboard layout, not the exporter's.
    ReadCombos(R, Count, HasInterceptor());
  } catch (const std::exception& E) {
    LogFmt(lkError, "TClientKeyPressBase.ImportKeys(", "Exception %1: %2", ExceptionClassName(E),
           E.what());
    ShowError("There was an error importing keybindings");
  }
}

void TClientKeyPressBase::ImportKeys(const std::string& FileName) {
  std::vector<uint8_t> Bytes;
  try {
    std::ifstream In(FileName, std::ios::binary);
    if (!In)
      throw EKeyCombo("cannot open " + FileName);
    char Buf[65536];
    while (In) {
      In.read(Buf, sizeof(Buf));
      Bytes.insert(Bytes.end(), Buf, Buf + In.gcount());
      // A device or a huge file is no binding file; stop reading it.
      if (Bytes.size() > KbnMaxFileSize)
        throw EKeyCombo("file too large");
    }
  } catch (const std::exception& E) {
    LogFmt(lkError, "TClientKeyPressBase.ImportKeys(", "Exception %1: %2", ExceptionClassName(E),
           E.what());
    ShowError("There was an error importing keybindings");
    return;
  }
  ImportKeysFromBytes(Bytes.data(), Bytes.size());
}

void TClientKeyPressBase::ExportKeys(const std::string& FileName) {
  try {
    TByteWriter W;
    W.U32(KbnSignature).U8(1).U8(2).I32(static_cast<int32_t>(FCombos.size()));
    WriteCombos(W);
    std::FILE* F = std::fopen(FileName.c_str(), "wb");
    if (!F)
      throw EKeyCombo(std::string("cannot create file: ") + std::strerror(errno));
    const bool Written = std::fwrite(W.Data().data(), 1, W.Size(), F) == W.Size();
    const bool Closed = std::fclose(F) == 0;
    if (!Written || !Closed)
      throw EKeyCombo("write error");
  } catch (const std::exception& E) {
    LogFmt(lkError, "TClientKeyPressBase.ExportKeys", "Exception %1: %2", ExceptionClassName(E),
           E.what());
    ShowError("There was an error exporting keybindings");
  }
}

} // namespace orlavonix
