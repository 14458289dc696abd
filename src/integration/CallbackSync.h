#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "integration/CallbackInterface.h"

namespace orlavonix {

// One copied event record; its first four bytes are the kind.
class TEventRecord {
public:
  TEventRecord(const void* Data, size_t Size);
  size_t Size() const { return FSize; }
  const uint8_t* Data() const { return FData.get(); }
  int32_t Kind() const { return GetLE<int32_t>(FData.get()); }

private:
  std::unique_ptr<uint8_t[]> FData;
  size_t FSize;
};

// The road of event records from any thread to the user-interface thread: a
// first-in-first-out queue of copies. Each post asks the user-interface loop,
// through the wake hook, to run DoIt once; DoIt hands the oldest record to
// the handler. Posting never waits for the user interface.
class TCallbackSynchronizer {
public:
  // The consumer; it owns the record it is given.
  using THandler = std::function<void(std::unique_ptr<TEventRecord>)>;
  // Asks the user-interface loop to call DoIt once (the Qt program posts its
  // custom event type 1893 here). Called once per post, on the posting
  // thread, outside the queue's lock.
  using TWakeHook = std::function<void()>;

  TCallbackSynchronizer(THandler Handler, TWakeHook Wake);
  // Frees every record still waiting, unhandled.
  ~TCallbackSynchronizer() = default;
  TCallbackSynchronizer(const TCallbackSynchronizer&) = delete;
  TCallbackSynchronizer& operator=(const TCallbackSynchronizer&) = delete;

  // Any thread. Appends the record and calls the wake hook.
  void Post(std::unique_ptr<TEventRecord> Item);
  // Any thread: copies Size bytes from Data and posts the copy. A record too
  // short to hold its kind is refused (false), as is a null one.
  bool PostCopy(const void* Data, int32_t Size);
  // A callback for the connection object that posts copies here.
  TClientCallback Callback() {
    return [this](const void* Data, int32_t Size) { return PostCopy(Data, Size); };
  }

  // User-interface thread only: handles at most one record. An exception of
  // the handler is logged with the record's kind and goes no further.
  void DoIt();

  size_t Pending() const;

private:
  THandler FHandler;
  TWakeHook FWake;
  mutable std::mutex FLock;
  std::deque<std::unique_ptr<TEventRecord>> FList;
};

} // namespace orlavonix
