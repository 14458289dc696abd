#include "notify/WaveSaver.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "base/Exceptions.h"
#include "protocol/logdebug.h"

namespace orlavonix {

namespace {
int16_t Clip(float V) {
  V = std::nearbyint(V);
  return static_cast<int16_t>(std::clamp(V, -32768.0f, 32767.0f));
}
} // namespace

TWaveSaver::TWaveSaver() {
  Start();
}

TWaveSaver::~TWaveSaver() {
  {
    std::lock_guard<std::mutex> G(FLock);
    FStopping = true;
  }
  Terminate();
  FWake.notify_all();
  WaitFor();
}

void TWaveSaver::StartRecording(std::unique_ptr<TFileStream> Stream) {
  std::lock_guard<std::mutex> G(FLock);
  if (FState != wsIdle)
    throw Exception("Already recording");
  FStream = std::move(Stream);
  FState = wsStarting;
}

void TWaveSaver::StopRecording() {
  std::lock_guard<std::mutex> G(FLock);
  if (FState == wsRecording)
    FState = wsStopping;
}

uint8_t TWaveSaver::State() {
  std::lock_guard<std::mutex> G(FLock);
  return FState;
}

void TWaveSaver::Add(TRing& Ring, const int16_t* Samples, int32_t Count, float Gain, bool Scale) {
  std::lock_guard<std::mutex> G(FLock);
  if (FState != wsRecording)
    return;
  while (Count > 0 && Ring.Count < RingBlocks) {
    TBlock& Block = Ring.Blocks[(Ring.Head + Ring.Count) % RingBlocks];
    int32_t K = std::min(Count, BlockSamples - Ring.Fill);
    int16_t* To = Block.data() + Ring.Fill;
    if (!Samples)
      std::fill(To, To + K, int16_t(0));
    else if (Scale)
      for (int32_t I = 0; I < K; ++I)
        To[I] = Clip(static_cast<float>(Samples[I]) * Gain);
    else
      std::copy(Samples, Samples + K, To);
    if (Samples)
      Samples += K;
    Count -= K;
    Ring.Fill += K;
    if (Ring.Fill == BlockSamples) {
      Ring.Fill = 0;
      ++Ring.Count;
    }
  }
}

void TWaveSaver::AddInput(const int16_t* Samples, int32_t Count, float Gain) {
  Add(FMic, Samples, Count, Gain, true);
}

void TWaveSaver::AddOutput(const int16_t* Samples, int32_t Count) {
  Add(FOut, Samples, Count, 1.0f, false);
}

void TWaveSaver::Execute() {
  while (!Terminated()) {
    {
      std::unique_lock<std::mutex> G(FLock);
      FWake.wait_for(G, std::chrono::milliseconds(100), [this] { return FStopping; });
    }
    if (Terminated())
      break;
    try {
      switch (State()) {
      case wsStarting:
        WriteHeader();
        {
          std::lock_guard<std::mutex> G(FLock);
          if (FState == wsStarting)
            FState = wsRecording;
        }
        break;
      case wsRecording:
        WriteBlock();
        break;
      case wsStopping:
        FinishFile();
        break;
      }
    } catch (const std::exception& E) {
      LogException("TWaveSaver.Execute", E);
    }
  }
  // A recording still open when the program ends is finished properly.
  if (State() != wsIdle)
    FinishFile();
}

void TWaveSaver::WriteHeader() {
  int64_t Length = FStream->Size() - 8;
  auto Header = RecordingHeader(static_cast<uint32_t>(std::max<int64_t>(Length, 0)),
                                static_cast<uint32_t>(FDataBytes));
  if (!FStream->Seek(0) || !FStream->Write(Header.data(), Header.size())) {
    std::lock_guard<std::mutex> G(FLock);
    FState = wsStopping;
  }
}

void TWaveSaver::WriteBlock() {
  const int16_t *Out, *Mic;
  {
    std::lock_guard<std::mutex> G(FLock);
    if (FOut.Count < 2 || FMic.Count < 1)
      return;
    Out = FOut.Blocks[FOut.Head].data();
    Mic = FMic.Blocks[FMic.Head].data();
  }
  // Both blocks are full, so the engine does not touch them now.
  for (int32_t I = 0; I < BlockSamples; ++I)
    FMixBlock[I] = static_cast<int16_t>(std::clamp(int32_t(Out[I]) + Mic[I], -32768, 32767));
  if (!FStream->Write(FMixBlock.data(), BlockBytes)) {
    // Leave a file that holds exactly the blocks its header describes.
    FStream->Truncate(44 + FDataBytes);
    FinishFile();
    return;
  }
  FDataBytes += BlockBytes;
  std::lock_guard<std::mutex> G(FLock);
  FOut.Head = (FOut.Head + 1) % RingBlocks;
  --FOut.Count;
  FMic.Head = (FMic.Head + 1) % RingBlocks;
  --FMic.Count;
}

void TWaveSaver::FinishFile() {
  {
    std::lock_guard<std::mutex> G(FLock);
    FState = wsStopping;
  }
  if (FStream) {
    WriteHeader();
    FStream->SeekEnd();
    FStream.reset();
  }
  std::lock_guard<std::mutex> G(FLock);
  FMic = TRing{};
  FOut = TRing{};
  FDataBytes = 0;
  FState = wsIdle;
}

} // namespace orlavonix
