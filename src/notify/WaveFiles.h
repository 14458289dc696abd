#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace orlavonix {

// The sample data of an event-sound file, as the loader keeps it.
struct TWaveSound {
  std::array<char, 4> DataId{}; // the data chunk's identifier, "data"
  uint32_t Size = 0;            // sample bytes, fewer than declared when the file is cut short
  std::vector<int16_t> Samples; // Size bytes of little-endian 16-bit samples
};

// Reads a RIFF/WAVE file held in memory and checks that it is uncompressed
// mono PCM at SampleRate with BitsPerSample (block alignment 2 also passes).
// Refusals raise the general exception with one of: "Not a RIFF file", "Not
// WAVE encoded file", "illegal fmt header size", "Not PCM encoded file", "Not
// a mono file", "Invalid Samplerate", "Invalid Bits Pers Sample"; data that
// ends inside a header raises EReadError. Never reads outside Bytes.
TWaveSound ParseWave(std::span<const uint8_t> Bytes, int32_t SampleRate, int32_t BitsPerSample);

// Reads a whole file; raises the general exception with the system's reason.
std::vector<uint8_t> ReadWholeFile(const std::string& FileName);

// The 44-byte header of a mono 16-bit 22050 Hz recording.
std::array<uint8_t, 44> RecordingHeader(uint32_t RiffLength, uint32_t DataBytes);

// A file for writing, owned by whoever holds it. Errors come back as false;
// the system's error number is kept in LastError().
class TFileStream {
public:
  // Creates or replaces the file; raises the general exception on failure.
  static std::unique_ptr<TFileStream> Create(const std::string& FileName);
  ~TFileStream();
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  bool Write(const void* Data, size_t Bytes);
  bool Seek(int64_t Position);
  bool SeekEnd();
  bool Truncate(int64_t Length);
  int64_t Size() const;
  int LastError() const { return FLastError; }

private:
  explicit TFileStream(int Fd) : FFd(Fd) {}
  int FFd;
  int FLastError = 0;
};

} // namespace orlavonix
