#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/SoundDeviceLink.h"

namespace orlavonix::test {

// What a pair of stand-in devices saw, kept by the test so that it outlives
// the devices (which the backend thread frees when it ends).
struct TDeviceTrace {
  std::mutex Lock;
  std::vector<int16_t> Captured;
  std::vector<int> CaptureCounts;
  std::vector<std::chrono::steady_clock::time_point> CaptureTimes;
  std::vector<int> OutputCounts;
  std::vector<std::chrono::steady_clock::time_point> OutputTimes;
  std::atomic<int> InputBlocks{0};
  std::atomic<int> OutputBlocks{0};
  std::atomic<int> InputsCreated{0};
  std::atomic<int> OutputsCreated{0};
  std::atomic<int> DevicesFreed{0};
  // Sample number -> value for the playback side.
  std::function<int16_t(uint64_t)> Generator = [](uint64_t) { return int16_t(0); };
  uint64_t Produced = 0;
};

class TTraceCapture : public TCaptureSink {
public:
  explicit TTraceCapture(TDeviceTrace& T) : FTrace(T) {}
  ~TTraceCapture() override { ++FTrace.DevicesFreed; }
  void ProcessInput(const int16_t* Block, int Count) override {
    {
      std::lock_guard<std::mutex> G(FTrace.Lock);
      FTrace.Captured.insert(FTrace.Captured.end(), Block, Block + Count);
      FTrace.CaptureCounts.push_back(Count);
      FTrace.CaptureTimes.push_back(std::chrono::steady_clock::now());
    }
    ++FTrace.InputBlocks;
  }

private:
  TDeviceTrace& FTrace;
};

class TTracePlayback : public TPlaybackSource {
public:
  explicit TTracePlayback(TDeviceTrace& T) : FTrace(T) {}
  ~TTracePlayback() override { ++FTrace.DevicesFreed; }
  void ProduceOutput(int16_t* Block, int Count) override {
    {
      std::lock_guard<std::mutex> G(FTrace.Lock);
      for (int I = 0; I < Count; ++I)
        Block[I] = FTrace.Generator(FTrace.Produced++);
      FTrace.OutputCounts.push_back(Count);
      FTrace.OutputTimes.push_back(std::chrono::steady_clock::now());
    }
    ++FTrace.OutputBlocks;
  }

private:
  TDeviceTrace& FTrace;
};

class TTraceFactory : public TSoundDeviceFactory {
public:
  explicit TTraceFactory(TDeviceTrace& T) : FTrace(T) {}
  std::unique_ptr<TCaptureSink> CreateInput(TThread&) override {
    ++FTrace.InputsCreated;
    return std::make_unique<TTraceCapture>(FTrace);
  }
  std::unique_ptr<TPlaybackSource> CreateOutput(TThread&) override {
    ++FTrace.OutputsCreated;
    return std::make_unique<TTracePlayback>(FTrace);
  }

private:
  TDeviceTrace& FTrace;
};

} // namespace orlavonix::test
