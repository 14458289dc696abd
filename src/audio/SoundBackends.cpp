#include "audio/SoundBackends.h"

namespace orlavonix {

namespace {

// Devices of the engine's kind for one backend thread, made with the values
// the engine opened the backend with.
template <typename TIn, typename TOut> class TEngineDevices : public TSoundDeviceFactory {
public:
  explicit TEngineDevices(const TSoundBackendParams& P) : FParams(P) {}
  std::unique_ptr<TCaptureSink> CreateInput(TThread&) override {
    auto D = std::make_unique<TIn>(FParams.Client, FParams.Flag, FParams.Recorder);
    FIn = D.get();
    return D;
  }
  std::unique_ptr<TPlaybackSource> CreateOutput(TThread& Owner) override {
    auto D = std::make_unique<TOut>(FParams.Client, FParams.SoundsVolume, FParams.Recorder, &Owner);
    FOut = D.get();
    return D;
  }
  TIn* FIn = nullptr;
  TOut* FOut = nullptr;

private:
  TSoundBackendParams FParams;
};

// Holds the devices' maker and the thread that owns the devices; freeing it
// stops the thread (which frees the devices) before the maker goes.
template <typename TThreadType, typename TIn, typename TOut>
class TBackend : public TSoundIOThread {
public:
  template <typename... A>
  explicit TBackend(const TSoundBackendParams& P, A&&... Args)
      : FDevices(P), FThread(std::make_unique<TThreadType>(std::forward<A>(Args)..., FDevices)) {}
  ~TBackend() override { FThread.reset(); }
  bool Initialized() const override { return FThread->Initialized(); }
  bool Finished() const override { return FThread->Finished(); }
  TSoundInDevice* InputDevice() const override {
    return Initialized() && FThread->InputDevice() ? FDevices.FIn : nullptr;
  }
  TSoundOutDevice* OutputDevice() const override { return Initialized() ? FDevices.FOut : nullptr; }
  TThreadType& Thread() { return *FThread; }

private:
  TEngineDevices<TIn, TOut> FDevices;
  std::unique_ptr<TThreadType> FThread;
};

} // namespace

std::unique_ptr<TSoundIOThread> CreateSoundBackend(int32_t Kind, const TSoundBackendParams& P) {
  switch (Kind) {
  case 0:
    return std::make_unique<TBackend<TOSSioThread, TOSSIn, TOssOut>>(P, P.Name, P.BufferSize);
  case 1:
    return std::make_unique<TBackend<TNetworkioThread, TNetworkIn, TNetworkOut>>(P, P.Name,
                                                                                 P.BufferSize);
  default:
    return nullptr;
  }
}

} // namespace orlavonix
