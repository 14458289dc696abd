// Runs the sound-card thread on a device for a while: plays a sine tone and
// writes what it captures to a raw file. The emulation test starts it with an
// OSS emulation preloaded, which has to be in place before the process starts.
//
//   oss_tone_helper DEVICE BLOCKSIZE TONE_HZ SECONDS CAPTURE_FILE
//
// Prints "key=value" lines: initialized, duplex, block, blocks, elapsed_ms,
// then every log line the thread wrote.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "audio/LogCapture.h"
#include "audio/OSSioThread.h"

using namespace orlavonix;

namespace {

struct TShared {
  std::mutex Lock;
  std::FILE* Capture = nullptr;
  std::atomic<int> InBlocks{0};
  std::atomic<int> OutBlocks{0};
  std::chrono::steady_clock::time_point FirstIn, LastIn;
  double ToneHz = 440;
  uint64_t Phase = 0;
};

class TWriteCapture : public TCaptureSink {
public:
  explicit TWriteCapture(TShared& S) : FS(S) {}
  void ProcessInput(const int16_t* Block, int Count) override {
    std::lock_guard<std::mutex> G(FS.Lock);
    std::fwrite(Block, 2, size_t(Count), FS.Capture);
    auto Now = std::chrono::steady_clock::now();
    if (FS.InBlocks == 0)
      FS.FirstIn = Now;
    FS.LastIn = Now;
    ++FS.InBlocks;
  }

private:
  TShared& FS;
};

class TTonePlayback : public TPlaybackSource {
public:
  explicit TTonePlayback(TShared& S) : FS(S) {}
  void ProduceOutput(int16_t* Block, int Count) override {
    for (int I = 0; I < Count; ++I, ++FS.Phase)
      Block[I] = int16_t(std::lround(
          8000.0 * std::sin(2 * std::numbers::pi * FS.ToneHz * double(FS.Phase) / 22050.0)));
    ++FS.OutBlocks;
  }

private:
  TShared& FS;
};

class TFactory : public TSoundDeviceFactory {
public:
  explicit TFactory(TShared& S) : FS(S) {}
  std::unique_ptr<TCaptureSink> CreateInput(TThread&) override {
    return std::make_unique<TWriteCapture>(FS);
  }
  std::unique_ptr<TPlaybackSource> CreateOutput(TThread&) override {
    return std::make_unique<TTonePlayback>(FS);
  }

private:
  TShared& FS;
};

} // namespace

int main(int Argc, char** Argv) {
  if (Argc != 6) {
    std::fprintf(stderr, "usage: %s DEVICE BLOCKSIZE TONE_HZ SECONDS CAPTURE_FILE\n", Argv[0]);
    return 2;
  }
  auto& Log = test::TLogCapture::Install();
  TShared S;
  S.ToneHz = std::atof(Argv[3]);
  double Seconds = std::atof(Argv[4]);
  S.Capture = std::fopen(Argv[5], "wb");
  if (!S.Capture)
    return 3;
  TFactory Factory(S);
  bool Initialized = false, Duplex = false;
  int Block = 0;
  {
    TOSSioThread Thread(Argv[1], std::atoi(Argv[2]), Factory);
    Initialized = test::WaitUntil([&] { return Thread.Initialized() || Thread.Finished(); },
                                  std::chrono::seconds(5)) &&
                  Thread.Initialized();
    if (Initialized) {
      Duplex = Thread.Duplex();
      Block = Thread.BlockSize();
      const int Wanted = int(std::ceil(Seconds * 44100.0 / Block));
      test::WaitUntil([&] { return (Duplex ? S.InBlocks.load() : S.OutBlocks.load()) >= Wanted; },
                      std::chrono::milliseconds(int(Seconds * 1000) + 10000));
    }
  }
  std::fclose(S.Capture);
  std::printf("initialized=%d\nduplex=%d\nblock=%d\nin_blocks=%d\nout_blocks=%d\n", Initialized,
              Duplex, Block, S.InBlocks.load(), S.OutBlocks.load());
  if (S.InBlocks > 1)
    std::printf("elapsed_ms=%.0f\n",
                std::chrono::duration<double, std::milli>(S.LastIn - S.FirstIn).count());
  for (auto& L : Log.Lines())
    std::printf("log=%s: %s\n", L.Context.c_str(), L.Text.c_str());
  return Initialized ? 0 : 1;
}
