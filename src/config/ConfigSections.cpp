#include "config/ConfigSections.h"

#include <vector>

#include "base/Format.h"

namespace orlavonix {

namespace {

// Runs a reader over a section from position 0 and turns a short read into
// an error that names the section.
template <typename Fn> auto ReadSection(TMemoryStream& S, const char* Name, Fn&& Body) {
  S.Seek(0);
  try {
    return Body(S);
  } catch (const EReadError&) {
    throw EConfigReadError(Format("Section \"%s\" is shorter than its layout", Name));
  }
}

void ReadMainFormTail(TMemoryStream& S, TMainFormSettings& M) {
  M.BlockWhispersDefault = S.ReadBool();
  M.DefaultNickname = S.ReadShortString(29);
  M.DebugLevel = S.ReadI32();
  M.Top = S.ReadI32();
  M.Left = S.ReadI32();
  M.Height = S.ReadI32();
  M.Width = S.ReadI32();
  M.TreeAreaHeight = S.ReadI32();
  M.TreeWidth = S.ReadI32();
  M.Maximised = S.ReadBool();
}

void ReadDeviceNames(TMemoryStream& S, TSoundDeviceSettings& D) {
  D.InputDevice = S.ReadShortString(99);
  D.OutputDevice = S.ReadShortString(99);
}

} // namespace

std::optional<TMainFormSettings> ReadMainFormSettings(TConfigFile& Config) {
  if (auto* S = Config.GetSection(SectionMainForm, false))
    return ReadSection(*S, SectionMainForm, [](TMemoryStream& In) {
      TMainFormSettings M;
      M.PlatformOption = In.ReadBool();
      ReadMainFormTail(In, M);
      return M;
    });
  if (auto* S = Config.GetSection(SectionMainFormBeta4, false))
    return ReadSection(*S, SectionMainFormBeta4, [](TMemoryStream& In) {
      TMainFormSettings M;
      ReadMainFormTail(In, M);
      return M;
    });
  return std::nullopt;
}

void WriteMainFormSettings(TConfigFile& Config, const TMainFormSettings& M) {
  auto* S = Config.GetSection(SectionMainForm, true);
  S->Seek(0);
  S->WriteBool(M.PlatformOption);
  S->WriteBool(M.BlockWhispersDefault);
  S->WriteShortString(M.DefaultNickname, 29);
  S->WriteI32(M.DebugLevel);
  S->WriteI32(M.Top);
  S->WriteI32(M.Left);
  S->WriteI32(M.Height);
  S->WriteI32(M.Width);
  S->WriteI32(M.TreeAreaHeight);
  S->WriteI32(M.TreeWidth);
  S->WriteBool(false);
}

std::optional<TSoundDeviceSettings> ReadSoundDeviceSettings(TConfigFile& Config) {
  if (auto* S = Config.GetSection(SectionSoundDevices, false))
    return ReadSection(*S, SectionSoundDevices, [](TMemoryStream& In) {
      TSoundDeviceSettings D;
      D.BufferSize = In.ReadI32();
      D.InputKind = In.ReadI32();
      D.OutputKind = In.ReadI32();
      D.OpenFlag = In.ReadBool();
      ReadDeviceNames(In, D);
      uint8_t Pad[3];
      In.Read(Pad, sizeof Pad);
      return D;
    });
  if (auto* S = Config.GetSection(SectionSoundDevicesBeta1, false))
    return ReadSection(*S, SectionSoundDevicesBeta1, [](TMemoryStream& In) {
      TSoundDeviceSettings D;
      D.BufferSize = In.ReadI32();
      D.InputKind = In.ReadI32();
      D.OutputKind = In.ReadI32();
      D.OpenFlag = false;
      ReadDeviceNames(In, D);
      return D;
    });
  return std::nullopt;
}

void WriteSoundDeviceSettings(TConfigFile& Config, const TSoundDeviceSettings& D) {
  auto* S = Config.GetSection(SectionSoundDevices, true);
  S->Seek(0);
  S->WriteI32(D.BufferSize);
  S->WriteI32(D.InputKind);
  S->WriteI32(D.OutputKind);
  S->WriteBool(false);
  S->WriteShortString(D.InputDevice, 99);
  S->WriteShortString(D.OutputDevice, 99);
  const uint8_t Pad[3] = {0, 0, 0};
  S->Write(Pad, sizeof Pad);
}

std::optional<TEventSoundSettings> ReadEventSoundSettings(TConfigFile& Config) {
  auto* S = Config.GetSection(SectionSounds, false);
  if (!S)
    return std::nullopt;
  return ReadSection(*S, SectionSounds, [](TMemoryStream& In) {
    TEventSoundSettings E;
    E.Disabled = In.ReadBool();
    E.Volume = In.ReadI32();
    for (auto& F : E.Files)
      F = In.ReadShortString(255);
    return E;
  });
}

void WriteEventSoundSettings(TConfigFile& Config, const TEventSoundSettings& E) {
  auto* S = Config.GetSection(SectionSounds, true);
  S->SetSize(0);
  S->Seek(0);
  S->WriteBool(E.Disabled);
  S->WriteI32(E.Volume);
  for (const auto& F : E.Files)
    S->WriteShortString(F, 255);
}

std::optional<TBandwidthSettings> ReadBandwidthSettings(TConfigFile& Config) {
  auto* S = Config.GetSection(SectionBandwidth, false);
  if (!S)
    return std::nullopt;
  return ReadSection(*S, SectionBandwidth, [](TMemoryStream& In) {
    TBandwidthSettings B;
    B.Upload = In.ReadI32();
    B.Download = In.ReadI32();
    return B;
  });
}

void WriteBandwidthSettings(TConfigFile& Config, const TBandwidthSettings& B) {
  auto* S = Config.GetSection(SectionBandwidth, true);
  S->Seek(0);
  S->WriteI32(B.Upload);
  S->WriteI32(B.Download);
}

TConnectInfo ReadQuickConnect(TConfigFile& Config) {
  TConnectInfo Info;
  Info.Clear();
  auto* S = Config.GetSection(SectionQuickConnect, false);
  if (!S)
    return Info;
  return ReadSection(*S, SectionQuickConnect, [&Info](TMemoryStream& In) {
    In.Read(&Info, sizeof Info);
    return Info;
  });
}

void WriteQuickConnect(TConfigFile& Config, const TConnectInfo& Info) {
  auto* S = Config.GetSection(SectionQuickConnect, true);
  S->Seek(0);
  S->Write(&Info, sizeof Info);
}

std::optional<TVolumeSettings> ReadVolumeSettings(TConfigFile& Config) {
  auto* S = Config.GetSection(SectionVolumes, false);
  if (!S)
    return std::nullopt;
  return ReadSection(*S, SectionVolumes, [](TMemoryStream& In) {
    TVolumeSettings V;
    V.OutputVolume = In.ReadI32();
    V.PushToTalk = In.ReadBool();
    V.ActivationLevel = In.ReadI32();
    return V;
  });
}

void WriteVolumeSettings(TConfigFile& Config, const TVolumeSettings& V) {
  auto* S = Config.GetSection(SectionVolumes, true);
  S->Seek(0);
  S->WriteI32(V.OutputVolume);
  S->WriteBool(V.PushToTalk);
  S->WriteI32(V.ActivationLevel);
}

std::optional<std::string> ReadRecordingDir(TConfigFile& Config) {
  auto* S = Config.GetSection(SectionRecording, false);
  if (!S)
    return std::nullopt;
  return ReadSection(*S, SectionRecording,
                     [](TMemoryStream& In) { return In.ReadShortString(255); });
}

void WriteRecordingDir(TConfigFile& Config, const std::string& Dir) {
  auto* S = Config.GetSection(SectionRecording, true);
  S->Seek(0);
  S->WriteShortString(Dir, 255);
}

std::string ReadUpdateCheckText(TConfigFile& Config) {
  auto* S = Config.GetSection(SectionUpdateCheck, false);
  if (!S)
    return {};
  return ReadSection(*S, SectionUpdateCheck, [](TMemoryStream& In) {
    int32_t Len = In.ReadI32();
    if (Len < 0)
      throw EReadError("negative text length");
    std::string Text(static_cast<size_t>(std::min<size_t>(Len, In.Remaining())), '\0');
    if (static_cast<size_t>(Len) > In.Remaining())
      throw EReadError("text past end");
    In.Read(Text.data(), Text.size());
    return Text;
  });
}

void WriteUpdateCheckText(TConfigFile& Config, const std::string& Text) {
  auto* S = Config.GetSection(SectionUpdateCheck, true);
  S->Seek(0);
  S->WriteI32(static_cast<int32_t>(Text.size()));
  S->Write(Text.data(), Text.size());
}

} // namespace orlavonix
