#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "base/Exceptions.h"
#include "config/ConfigFile.h"
#include "config/ConnectInfo.h"

namespace orlavonix {

// A section shorter than its layout. The message names the section.
ORLAVONIX_DECLARE_EXCEPTION(EConfigReadError, EReadError);

// Section names; each ends in the version stamp of its layout.
inline constexpr const char* SectionMainForm = "MainForm Linux V2.0 beta 6";
inline constexpr const char* SectionMainFormBeta4 = "MainForm Linux V2.0 beta 4";
inline constexpr const char* SectionSoundDevices = "SoundDevicesLinux V2.0 beta 2";
inline constexpr const char* SectionSoundDevicesBeta1 = "SoundDevicesLinux V2.0 beta 1";
inline constexpr const char* SectionSounds = "Sounds V2.0 beta 3";
inline constexpr const char* SectionBandwidth = "Bandwidth V2.0 beta 1";
inline constexpr const char* SectionQuickConnect = "QuickConnect V2.0 beta 1";
inline constexpr const char* SectionConnectInfo = "ConnectInfo V2.0 Apha4";
inline constexpr const char* SectionConnectInfoApha3 = "ConnectInfo V2.0 Apha3";
inline constexpr const char* SectionVolumes = "Volumes V2.0 beta 1";
inline constexpr const char* SectionRecording = "Recording V2.0 beta 1";
inline constexpr const char* SectionActions = "Actions V2.0 beta";
inline constexpr const char* SectionWeblistFilter = "WeblistFilter V2.0 Apha1";
inline constexpr const char* SectionUpdateCheck = "UpdateCheck V2.0 beta 1";

constexpr int EventSoundCount = 30;

// Readers return nothing when neither the section nor its listed older form
// exists, and raise EConfigReadError when the section is shorter than its
// layout. Writers always write the newest name and never remove a section.

struct TMainFormSettings {
  bool PlatformOption = false;
  bool BlockWhispersDefault = false;
  std::string DefaultNickname; // string[29]
  int32_t DebugLevel = 2;
  int32_t Top = 0;
  int32_t Left = 0;
  int32_t Height = 0;
  int32_t Width = 0;
  int32_t TreeAreaHeight = 0;
  int32_t TreeWidth = 0;
  bool Maximised = false;
};
// Falls back to the beta 4 layout, which lacks the first byte.
std::optional<TMainFormSettings> ReadMainFormSettings(TConfigFile& Config);
// The maximised byte is always written as 0.
void WriteMainFormSettings(TConfigFile& Config, const TMainFormSettings& S);

struct TSoundDeviceSettings {
  int32_t BufferSize = 4096; // 1024, 2048 or 4096 bytes
  int32_t InputKind = 0;     // 0 sound device, 1 network
  int32_t OutputKind = 0;
  bool OpenFlag = false;
  std::string InputDevice = "/dev/dsp";  // string[99]
  std::string OutputDevice = "/dev/dsp"; // string[99]
};
// Falls back to the beta 1 layout (no flag byte, no padding).
std::optional<TSoundDeviceSettings> ReadSoundDeviceSettings(TConfigFile& Config);
// The open flag is always written as 0.
void WriteSoundDeviceSettings(TConfigFile& Config, const TSoundDeviceSettings& S);

struct TEventSoundSettings {
  bool Disabled = false;
  int32_t Volume = 10;                            // tenths of full volume, 0..10
  std::array<std::string, EventSoundCount> Files; // string[255] each, events 1..30
};
std::optional<TEventSoundSettings> ReadEventSoundSettings(TConfigFile& Config);
// Empties the section before writing.
void WriteEventSoundSettings(TConfigFile& Config, const TEventSoundSettings& S);

struct TBandwidthSettings {
  int32_t Upload = 0; // kbit/s, 0 unlimited
  int32_t Download = 0;
};
std::optional<TBandwidthSettings> ReadBandwidthSettings(TConfigFile& Config);
void WriteBandwidthSettings(TConfigFile& Config, const TBandwidthSettings& S);

// A missing section gives a record of zero bytes.
TConnectInfo ReadQuickConnect(TConfigFile& Config);
void WriteQuickConnect(TConfigFile& Config, const TConnectInfo& Info);

struct TVolumeSettings {
  int32_t OutputVolume = 10; // 0..20, 10 normal
  bool PushToTalk = false;
  int32_t ActivationLevel = 10; // 0..40
};
std::optional<TVolumeSettings> ReadVolumeSettings(TConfigFile& Config);
void WriteVolumeSettings(TConfigFile& Config, const TVolumeSettings& S);

// The directory of the last recording (string[255]).
std::optional<std::string> ReadRecordingDir(TConfigFile& Config);
void WriteRecordingDir(TConfigFile& Config, const std::string& Dir);

// Lines of name=value; a missing section gives an empty text.
std::string ReadUpdateCheckText(TConfigFile& Config);
void WriteUpdateCheckText(TConfigFile& Config, const std::string& Text);

} // namespace orlavonix
