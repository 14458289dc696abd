#include "notify/SoundNotifications.h"

#include <algorithm>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Exceptions.h"
#include "notify/EventSoundNames.h"

namespace orlavonix {

namespace {
constexpr const char* InstalledSoundDir = "/usr/local/orlavonix2/sounds/";

bool IsDirectory(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}
} // namespace

std::string TSoundNotifications::RunningProgramDir() {
  char Buf[PATH_MAX];
  ssize_t N = ::readlink("/proc/self/exe", Buf, sizeof Buf - 1);
  if (N <= 0)
    return "./";
  std::string Path(Buf, size_t(N));
  return Path.substr(0, Path.rfind('/') + 1);
}

std::string TSoundNotifications::ChooseSoundDir(const std::string& InstalledDir,
                                                const std::string& ProgramDir) {
  if (IsDirectory(InstalledDir))
    return InstalledDir;
  std::string Dir = ProgramDir;
  if (!Dir.empty() && Dir.back() != '/')
    Dir += '/';
  return Dir + "sounds/";
}

TSoundNotifications::TSoundNotifications(int32_t SampleRate, TSoundBase* SoundBase,
                                         int32_t BitsPerSample, const std::string& ProgramDir)
    : FSampleRate(SampleRate), FBitsPerSample(BitsPerSample), FSoundBase(SoundBase) {
  FSoundDir =
      ChooseSoundDir(InstalledSoundDir, ProgramDir.empty() ? RunningProgramDir() : ProgramDir);
}

void TSoundNotifications::ReleaseRetired() {
  // The engine's queue only shrinks on its own; once empty, nothing refers to
  // a retired sound any more, and only this thread adds to the queue.
  if (!FRetired.empty() && (!FSoundBase || !FSoundBase->IsPlayingSounds()))
    FRetired.clear();
}

bool TSoundNotifications::HasSound(int32_t Event) const {
  return std::any_of(FSounds.begin(), FSounds.end(),
                     [&](const auto& R) { return R->Event == Event; });
}

void TSoundNotifications::LoadSound(int32_t Event, const std::string& FileName, bool RaiseErrors) {
  ReleaseRetired();
  auto Last = std::find_if(FSounds.rbegin(), FSounds.rend(),
                           [&](const auto& R) { return R->Event == Event; });
  if (Last != FSounds.rend()) {
    FRetired.push_back(*Last);
    FSounds.erase(std::next(Last).base());
    ReleaseRetired();
  }
  if (FileName.empty())
    return;
  try {
    auto Record = std::make_shared<TSoundRecord>();
    Record->Event = Event;
    Record->Wave = ParseWave(ReadWholeFile(FileName), FSampleRate, FBitsPerSample);
    FSounds.push_back(std::move(Record));
  } catch (const std::exception&) {
    if (RaiseErrors)
      throw;
  }
}

void TSoundNotifications::LoadDefaultSounds() {
  for (int32_t Event = 1; Event <= EventSoundCount; ++Event) {
    std::string Name = FSoundDir + EventSoundNames[Event - 1].DefaultFile;
    LoadSound(Event, Name.substr(0, 255), false);
  }
}

void TSoundNotifications::Play(int32_t Event) {
  ReleaseRetired();
  if (!FEnabled || Event < 0 || !FSoundBase)
    return;
  auto Last = std::find_if(FSounds.rbegin(), FSounds.rend(),
                           [&](const auto& R) { return R->Event == Event; });
  if (Last == FSounds.rend())
    return;
  const TWaveSound& W = (*Last)->Wave;
  // Never more samples than the record holds, whatever size was asked for.
  int32_t BytesPerSample = std::max(1, FBitsPerSample / 8);
  int32_t Count = static_cast<int32_t>(std::min<uint32_t>(W.Size / BytesPerSample, W.Size / 2));
  if (Count > 0)
    FSoundBase->PlaySound(W.Samples.data(), Count);
}

void TSoundNotifications::Enable() {
  FEnabled = true;
}

void TSoundNotifications::Disable() {
  FEnabled = false;
  if (FSoundBase)
    FSoundBase->ClearSounds();
  ReleaseRetired();
}

} // namespace orlavonix
