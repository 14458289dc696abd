#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace orlavonix {

// Toolkit event numbers of the two asynchronous roads to the user-interface
// thread: event records and key notifications.
constexpr int CallbackEventType = 1893;
constexpr int KeyEventType = 1894;

// The road of key notifications from the key sampler to the user-interface
// thread. The values themselves wait in the sampler's own list (which drops
// a repeat of a waiting value); this road carries only "one value waits":
// each Post asks the user-interface loop, through the wake hook, to run DoIt
// once, and DoIt lets the handler take one value. Posting never waits for the
// user interface.
class TKeyNotificationRoad {
public:
  // Takes and handles one waiting value (the key press object's
  // ProcessKeyNotification). User-interface thread.
  using THandler = std::function<void()>;
  // Asks the user-interface loop to call DoIt once (the Qt program posts its
  // custom event KeyEventType here). Called on the posting thread.
  using TWakeHook = std::function<void()>;

  TKeyNotificationRoad(THandler Handler, TWakeHook Wake);
  TKeyNotificationRoad(const TKeyNotificationRoad&) = delete;
  TKeyNotificationRoad& operator=(const TKeyNotificationRoad&) = delete;

  // Any thread (the sampler's): one value was queued.
  void Post();
  // The sampler's notify hook. The road must outlive every sampler given it.
  std::function<void()> Notifier() {
    return [this] { Post(); };
  }

  // User-interface thread: answers one wake-up. Unless the road is closed,
  // the handler takes one value; an exception of the handler is logged and
  // goes no further. A call without an outstanding wake-up does nothing.
  void DoIt();
  // User-interface thread, when the main window starts closing: wake-ups
  // still arriving are consumed without handling anything.
  void Close() { FClosed.store(true, std::memory_order_release); }
  bool Closed() const { return FClosed.load(std::memory_order_acquire); }

  // Wake-ups posted and not yet answered by DoIt.
  size_t Outstanding() const;
  // Wake-ups handed to the handler so far (a wake-up whose value the
  // sampler dropped as a repeat finds nothing to take).
  uint64_t Handled() const { return FHandled.load(std::memory_order_acquire); }

private:
  THandler FHandler;
  TWakeHook FWake;
  mutable std::mutex FLock; // guards FOutstanding only
  size_t FOutstanding = 0;
  std::atomic<bool> FClosed{false};
  std::atomic<uint64_t> FHandled{0};
};

} // namespace orlavonix
