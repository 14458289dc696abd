// Runs the sound-card thread on a device for a while: plays a sine tone and
// writes what it captures to a raw file. The emulation test starts it with an
// OSS emulation preloaded, which has to be in place before the process starts.
//
//   oss_tone_helper DEVICE BLOCKSIZE TONE_HZ SECONDS CAPTURE_FILE
//   oss_tone_helper engine DEVICE BLOCKSIZE TONE_HZ SECONDS CAPTURE_FILE
//
// The first form drives the thread with plain devices at 22050 Hz; the second
// opens the device through the sound engine, whose voice side runs at 8000 Hz:
// the tone is the voice it mixes, and the capture file holds what it would send.
// Prints "key=value" lines: initialized, duplex, block, blocks, elapsed_ms,
// then every log line the thread wrote.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "support/LogCapture.h"
#include "audio/OSSioThread.h"
#include "audio/SoundBackends.h"
#include "voice/LinuxSound.h"

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

// The protocol side of the engine: an 8000 Hz tone as the mixed voice, and
// every block it is given to send written to the capture file.
class TToneClient : public TSoundClient {
public:
  TToneClient(double Hz, std::FILE* Capture) : FHz(Hz), FCapture(Capture) {}
  bool snd_GetSoundData(float* Buffer, int32_t Count) override {
    for (int32_t I = 0; I < Count; ++I, ++FPhase)
      Buffer[I] = float(8000.0 * std::sin(2 * std::numbers::pi * FHz * double(FPhase) / 8000.0));
    return true;
  }
  bool snd_StoreSoundData(float* Samples, int32_t Count, float& Level) override {
    std::vector<int16_t> S(static_cast<size_t>(Count));
    for (int32_t I = 0; I < Count; ++I)
      S[size_t(I)] = int16_t(std::clamp(std::lround(Samples[I]), -32768L, 32767L));
    std::fwrite(S.data(), 2, S.size(), FCapture);
    if (Stored.fetch_add(Count) == 0)
      First = std::chrono::steady_clock::now();
    Last = std::chrono::steady_clock::now();
    Level = 1;
    return true;
  }
  std::atomic<int64_t> Stored{0};
  std::chrono::steady_clock::time_point First, Last;

private:
  double FHz;
  std::FILE* FCapture;
  uint64_t FPhase = 0;
};

int RunEngine(int Argc, char** Argv) {
  if (Argc != 7)
    return 2;
  auto& Log = test::TLogCapture::Install();
  std::FILE* Capture = std::fopen(Argv[6], "wb");
  if (!Capture)
    return 3;
  TToneClient Client(std::atof(Argv[4]), Capture);
  double Seconds = std::atof(Argv[5]);
  bool Opened = false, Duplex = false;
  {
    TLinuxSound Sound(&Client, nullptr, CreateSoundBackend);
    Sound.SetBufferSize(std::atoi(Argv[3]));
    Opened = Sound.OpenDevice(0, Argv[2], false);
    Duplex = Sound.HasInput();
    if (Opened)
      test::WaitUntil([&] { return Client.Stored.load() >= int64_t(Seconds * 8000); },
                      std::chrono::milliseconds(int(Seconds * 1000) + 10000));
  }
  std::fclose(Capture);
  std::printf("initialized=%d\nduplex=%d\nstored=%lld\n", Opened, Duplex,
              static_cast<long long>(Client.Stored.load()));
  if (Client.Stored > 0)
    std::printf("elapsed_ms=%.0f\n",
                std::chrono::duration<double, std::milli>(Client.Last - Client.First).count());
  for (auto& L : Log.Lines())
    std::printf("log=%s: %s\n", L.Context.c_str(), L.Text.c_str());
  return Opened ? 0 : 1;
}

} // namespace

int main(int Argc, char** Argv) {
  if (Argc > 1 && std::string(Argv[1]) == "engine")
    return RunEngine(Argc, Argv);
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
