#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "notify/WaveFiles.h"
#include "voice/ClientSoundBase.h"

namespace orlavonix {

// The event sounds: one WAV file per event (1 to 30), checked to be mono PCM
// at the engine's rate and sample size, held in memory and queued on the
// sound engine when the event happens. Used on the user-interface thread.
class TSoundNotifications {
public:
  // ProgramDir is where the program file lives; the sounds come from
  // "/usr/local/orlavonix2/sounds/" when that exists, otherwise from
  // ProgramDir + "sounds/". Empty ProgramDir means the running program's.
  TSoundNotifications(int32_t SampleRate, TSoundBase* SoundBase, int32_t BitsPerSample,
                      const std::string& ProgramDir = "");
  TSoundNotifications(const TSoundNotifications&) = delete;
  TSoundNotifications& operator=(const TSoundNotifications&) = delete;

  // Replaces the sound of Event by the file's; an empty name only removes it.
  // Errors reach the caller only with RaiseErrors; otherwise the event is silent.
  void LoadSound(int32_t Event, const std::string& FileName, bool RaiseErrors);
  // Every event gets its default file from the sounds directory, quietly.
  void LoadDefaultSounds();
  void Play(int32_t Event);
  void Enable();
  // Also stops every queued event sound.
  void Disable();
  bool Enabled() const { return FEnabled; }
  bool HasSound(int32_t Event) const;
  const std::string& SoundDir() const { return FSoundDir; }

  static std::string ChooseSoundDir(const std::string& InstalledDir, const std::string& ProgramDir);
  static std::string RunningProgramDir();

private:
  struct TSoundRecord {
    int32_t Event;
    TWaveSound Wave;
  };
  // Frees replaced sounds once the engine can no longer be playing them.
  void ReleaseRetired();

  int32_t FSampleRate;
  int32_t FBitsPerSample;
  // Shared with FRetired: a replaced sound may still be queued on the engine,
  // which reads it on the I/O thread; it is kept until the queue has emptied.
  std::vector<std::shared_ptr<const TSoundRecord>> FSounds;
  std::vector<std::shared_ptr<const TSoundRecord>> FRetired;
  TSoundBase* FSoundBase;
  bool FEnabled = true;
  std::string FSoundDir;
};

} // namespace orlavonix
