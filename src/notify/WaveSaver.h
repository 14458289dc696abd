#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/Thread.h"
#include "notify/WaveFiles.h"
#include "voice/ClientSoundBase.h"

namespace orlavonix {

// Records the conversation into a WAV file (mono, 16-bit, 22050 Hz): the sum
// of what the user hears and what the user sends. The sound engine hands both
// streams over block by block; they are collected in half-second blocks and
// appended by this thread, so the engine never waits for the disk.
class TWaveSaver : public TThread, public TSoundRecorder {
public:
  enum : uint8_t { wsIdle = 0, wsStarting = 1, wsRecording = 2, wsStopping = 3 };
  static constexpr int32_t BlockSamples = 11025; // half a second
  static constexpr int32_t BlockBytes = BlockSamples * 2;
  static constexpr int32_t RingBlocks = 4;

  TWaveSaver(); // starts the thread, idle
  ~TWaveSaver() override;

  // Takes the stream; raises "Already recording" unless idle.
  void StartRecording(std::unique_ptr<TFileStream> Stream);
  // Only a running recording stops; the file is finished within about 100 ms.
  void StopRecording();
  uint8_t State();

  // A captured block, or nullptr for Count samples of silence; scaled by Gain.
  void AddInput(const int16_t* Samples, int32_t Count, float Gain) override;
  // A finished output block, or nullptr for silence.
  void AddOutput(const int16_t* Samples, int32_t Count) override;

protected:
  void Execute() override;

private:
  using TBlock = std::array<int16_t, BlockSamples>;
  struct TRing {
    std::array<TBlock, RingBlocks> Blocks;
    int32_t Head = 0, Count = 0, Fill = 0;
  };
  void Add(TRing& Ring, const int16_t* Samples, int32_t Count, float Gain, bool Scale);
  void WriteHeader();
  void WriteBlock();
  void FinishFile();

  uint8_t FState = wsIdle;
  std::mutex FLock;
  std::condition_variable FWake;
  bool FStopping = false;
  std::unique_ptr<TFileStream> FStream;
  TRing FMic;
  TRing FOut;
  TBlock FMixBlock{};
  int64_t FDataBytes = 0;
};

} // namespace orlavonix
