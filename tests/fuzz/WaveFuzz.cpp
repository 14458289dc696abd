// The event-sound WAV reader on arbitrary bytes: it must refuse or accept
// cleanly and never read outside the input.
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/Exceptions.h"
#include "notify/WaveFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::span<const uint8_t> Bytes(Data, Size);
  for (int32_t Bits : {16, 8}) {
    try {
      orlavonix::TWaveSound S = orlavonix::ParseWave(Bytes, 22050, Bits);
      // What it keeps lies within the input and fits its sample buffer.
      if (S.Size > Size || S.Samples.size() * 2 < S.Size)
        __builtin_trap();
    } catch (const orlavonix::Exception&) {
    }
  }
  return 0;
}
