#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/Thread.h"
#include "keys/ClientKeyPressBase.h"

// Xlib's display type, without pulling Xlib's macros into every includer.
struct _XDisplay;

namespace orlavonix {

// A key notification value: bits 0-7 input type, 8-15 key code, 16-23 pressed.
constexpr uint32_t PackKeyValue(uint8_t InputType, uint8_t KeyCode, bool Pressed) {
  return uint32_t(InputType) | (uint32_t(KeyCode) << 8) | (uint32_t(Pressed ? 1 : 0) << 16);
}
inline void UnpackKeyValue(uint32_t Value, uint8_t& InputType, uint8_t& KeyCode, bool& Pressed) {
  InputType = static_cast<uint8_t>(Value & 0xFF);
  KeyCode = static_cast<uint8_t>((Value >> 8) & 0xFF);
  Pressed = ((Value >> 16) & 0xFF) != 0;
}

using TKeyReport = std::function<void(uint8_t InputType, uint8_t KeyCode, bool Pressed)>;

// The changes between two key bitmaps (bit b of byte i is key code 8*i+b), in
// report order: by increasing byte; within a byte presses before releases,
// each from the low bit up.
void ReportKeymapChanges(const uint8_t (&Old)[32], const uint8_t (&New)[32],
                         const TKeyReport& Report);
// The changes of the pointer buttons 1, 2 and 3 (in that order) between two
// pointer masks, as mouse codes 0, 2 and 1.
void ReportPointerChanges(unsigned Old, unsigned New, const TKeyReport& Report);

// Called on the sampler thread after each value is queued: the program posts
// its key notification event and wakes its loop.
using TKeyNotify = std::function<void()>;

struct TSamplerOptions {
  std::chrono::milliseconds Interval{10};
  // A Wayland session: key changes in other programs' windows never reach X.
  bool WaylandSession = false;
  // Passes without any change after which that is logged, once.
  int WaylandQuietPasses = 3000;
  static TSamplerOptions FromEnvironment();
};

// Polls the X server for keys and pointer buttons on its own connection and
// queues every change for the user-interface thread.
class TkbSamplerThread : public TThread {
public:
  explicit TkbSamplerThread(TKeyNotify Notify,
                            TSamplerOptions Options = TSamplerOptions::FromEnvironment());
  ~TkbSamplerThread() override;

  // Tells the thread to end and waits for it (at most one pass).
  void Stop();
  void PostKey(uint8_t InputType, uint8_t KeyCode, bool Pressed);
  bool TakeKey(uint8_t& InputType, uint8_t& KeyCode, bool& Pressed);
  size_t PendingCount() const;
  // Completed polling passes; lets tests wait for the sampler to have looked.
  uint64_t Passes() const { return FPasses.load(std::memory_order_acquire); }
  // Waits until Passes() has grown by Count, or the time is up.
  bool WaitForPasses(uint64_t Count, std::chrono::milliseconds Timeout) const;
  // True once the thread is running with an open display connection.
  bool Sampling() const { return FSampling.load(std::memory_order_acquire); }

protected:
  void Execute() override;

private:
  TKeyNotify FNotify;
  TSamplerOptions FOptions;
  mutable std::mutex FLock; // guards FPending only
  std::deque<uint32_t> FPending;
  mutable std::mutex FWaitLock;
  mutable std::condition_variable FWake;
  bool FStopping = false;
  std::atomic<uint64_t> FPasses{0};
  std::atomic<bool> FSampling{false};
};

class TXLibKeyInterceptor : public TKeyInterceptorBase {
public:
  // NamesDisplay: the toolkit's connection, used on the user-interface thread
  // for key names only; without one the interceptor opens its own.
  TXLibKeyInterceptor(TClientKeyPressBase& Owner, _XDisplay* NamesDisplay, TKeyNotify Notify,
                      TSamplerOptions Options = TSamplerOptions::FromEnvironment());
  ~TXLibKeyInterceptor() override;

  std::string KeyName(uint8_t InputType, uint8_t KeyCode) override;
  void ProcessKey() override;
  TkbSamplerThread* Sampler() const { return FSampler.get(); }

private:
  _XDisplay* FDisplay = nullptr;
  bool FOwnsDisplay = false;
  std::unique_ptr<TkbSamplerThread> FSampler;
};

class TLinuxKeyPress : public TClientKeyPressBase {
public:
  TLinuxKeyPress(TKeyClient* Client, TKeyProgram* Program, _XDisplay* ToolkitDisplay = nullptr);
  ~TLinuxKeyPress() override;

  // Kind 1: an X11 interceptor with its sampler; any other kind: none.
  void AssignInterceptor(int Kind) override;
  // Used by interceptors created from now on.
  void SetKeyNotify(TKeyNotify Notify) { FNotify = std::move(Notify); }
  void SetSamplerOptions(const TSamplerOptions& Options) { FOptions = Options; }

private:
  _XDisplay* FToolkitDisplay;
  TKeyNotify FNotify;
  TSamplerOptions FOptions = TSamplerOptions::FromEnvironment();
};

} // namespace orlavonix
