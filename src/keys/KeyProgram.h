#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orlavonix {

// The main window's toggle actions that key bindings can run.
enum class TToggleAction : uint8_t {
  Away = 0,
  MuteMicrophone = 1,
  MuteOutput = 2,
  BlockWhispers = 3,
  ChannelCommander = 4,
};

// What key bindings need from the program around them. The window program and
// the console program each implement it; key code never touches a widget.
class TKeyProgram {
public:
  virtual ~TKeyProgram() = default;

  virtual bool ToggleEnabled(TToggleAction Action) = 0;
  virtual void RunToggle(TToggleAction Action) = 0;

  // The output volume slider: 21 steps, 0 to 20, 10 is normal. Setting it
  // applies the volume as the slider's own change handler would.
  virtual int VolumeSliderPosition() = 0;
  virtual void SetVolumeSliderPosition(int Position) = 0;

  // Queues an event record for the user-interface thread (copied at once),
  // so that the work runs after the current handler has returned.
  virtual void PostRecord(const void* Data, size_t Size) = 0;

  // A modal error box with one OK button.
  virtual void ShowError(const std::string& Message) = 0;
};

// Kinds of the records that key actions post to the program.
constexpr int32_t KeyPostNextChannel = 44;
constexpr int32_t KeyPostPrevChannel = 45;
constexpr int32_t KeyPostConnectBookmark = 46;

} // namespace orlavonix
