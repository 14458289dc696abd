#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/Exceptions.h"
#include "base/Thread.h"

namespace orlavonix {

ORLAVONIX_DECLARE_EXCEPTION(EHttp, Exception);

struct THttpTimeouts {
  int ConnectMs = 5000; // opening the connection
  int LineMs = 30000;   // completing any one line of the response head, or any pause in the body
};

struct THttpResponse {
  int StatusCode = 0;
  std::optional<int64_t> ContentLength; // none: absent or malformed
  std::string ContentType;
  std::vector<uint8_t> Body;
};

// A blocking HTTP client for one request at a time. Only http and https
// addresses are fetched; redirects are not followed. Failures of the
// exchange (no connection, a time-out, a body over the limit, Abort) raise
// EHttp; any status code is returned to the caller.
class TFastHTTP {
public:
  explicit TFastHTTP(THttpTimeouts Timeouts = {});
  TFastHTTP(const TFastHTTP&) = delete;
  TFastHTTP& operator=(const TFastHTTP&) = delete;

  // Empty: no User-Agent header is sent.
  void SetUserAgent(std::string Agent) { FUserAgent = std::move(Agent); }
  const std::string& UserAgent() const { return FUserAgent; }
  const THttpTimeouts& Timeouts() const { return FTimeouts; }

  THttpResponse Head(const std::string& URL);
  THttpResponse Get(const std::string& URL, size_t MaxBody);

  // Ends a running request soon (from any thread) and every later one.
  void Abort() { FAborted.store(true, std::memory_order_release); }
  bool Aborted() const { return FAborted.load(std::memory_order_acquire); }

private:
  THttpResponse Perform(const std::string& URL, bool HeadOnly, size_t MaxBody);

  THttpTimeouts FTimeouts;
  std::string FUserAgent;
  std::atomic<bool> FAborted{false};
};

// Fetches one text (the version file) on its own thread. The handler runs
// through TThread::Synchronize, after Done is set, with Success telling
// whether Text holds the body.
class TWebGet final : public TThread {
public:
  using TOnDone = std::function<void(TWebGet& Sender)>;
  static constexpr size_t MaxTextBytes = 1 << 20;

  // Starts at once.
  TWebGet(std::string URL, TOnDone OnDone, THttpTimeouts Timeouts = {});
  // Stops a running fetch and waits for the thread; the handler is not
  // called for a fetch cut short this way.
  ~TWebGet() override;

  bool Done() const { return FDone.load(std::memory_order_acquire); }
  bool Success() const { return FSuccess.load(std::memory_order_acquire); }
  const std::string& Text() const { return FText; }
  const std::string& URL() const { return FURL; }
  const std::string& UserAgent() const { return FHttp.UserAgent(); }

protected:
  void Execute() override;

private:
  TFastHTTP FHttp;
  std::string FURL;
  TOnDone FOnDone;
  std::atomic<bool> FDone{false};
  std::atomic<bool> FSuccess{false};
  std::string FText;
};

// Fetches one banner picture on its own thread: HEAD first (status 200, a
// length of 1 to 51200 bytes, a JPEG or PNG type), then GET. Only a picture
// that passes every check reaches the handler, on the user-interface thread.
class TImageWebGet final : public TThread {
public:
  using TOnImage = std::function<void(TImageWebGet& Sender, const std::vector<uint8_t>& Stream,
                                      const std::string& Ext, const std::string& URL)>;
  static constexpr int64_t MaxImageBytes = 51200;

  TImageWebGet(std::string URL, TOnImage OnImage, THttpTimeouts Timeouts = {});
  ~TImageWebGet() override;

  const std::string& URL() const { return FURL; }

protected:
  void Execute() override;

private:
  TFastHTTP FHttp;
  std::vector<uint8_t> FStream;
  std::string FURL;
  std::string FExt;
  TOnImage FOnImage;
};

} // namespace orlavonix
