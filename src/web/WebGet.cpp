#include "web/WebGet.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>

#include "base/Format.h"
#include "protocol/logdebug.h"
#include "web/HttpHeaders.h"

namespace orlavonix {

namespace {

void GlobalCurlInit() {
  static std::once_flag Once;
  std::call_once(Once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

using TClockType = std::chrono::steady_clock;

struct TTransfer {
  THttpHeaderState Head;
  std::vector<uint8_t> Body;
  size_t MaxBody = 0;
  bool TooLarge = false;
  bool LineTimedOut = false;
  TClockType::time_point LineStart = TClockType::now();
  std::chrono::milliseconds LineLimit{30000};
  const std::atomic<bool>* Aborted = nullptr;
};

size_t OnHeader(char* Data, size_t Size, size_t Count, void* User) {
  auto* T = static_cast<TTransfer*>(User);
  size_t N = Size * Count;
  T->Head.AddLine(std::string_view(Data, N));
  T->LineStart = TClockType::now();
  return N;
}

size_t OnBody(char* Data, size_t Size, size_t Count, void* User) {
  auto* T = static_cast<TTransfer*>(User);
  size_t N = Size * Count;
  if (T->Body.size() + N > T->MaxBody) {
    T->TooLarge = true;
    return 0;
  }
  T->Body.insert(T->Body.end(), Data, Data + N);
  T->LineStart = TClockType::now();
  return N;
}

int OnProgress(void* User, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* T = static_cast<TTransfer*>(User);
  if (T->Aborted->load(std::memory_order_acquire))
    return 1;
  if (TClockType::now() - T->LineStart > T->LineLimit) {
    T->LineTimedOut = true;
    return 1;
  }
  return 0;
}

struct TCurlDeleter {
  void operator()(CURL* C) const { curl_easy_cleanup(C); }
};

} // namespace

TFastHTTP::TFastHTTP(THttpTimeouts Timeouts) : FTimeouts(Timeouts) {
  GlobalCurlInit();
}

THttpResponse TFastHTTP::Head(const std::string& URL) {
  return Perform(URL, true, 0);
}

THttpResponse TFastHTTP::Get(const std::string& URL, size_t MaxBody) {
  return Perform(URL, false, MaxBody);
}

THttpResponse TFastHTTP::Perform(const std::string& URL, bool HeadOnly, size_t MaxBody) {
  if (Aborted())
    throw EHttp("Request aborted");
  std::unique_ptr<CURL, TCurlDeleter> C(curl_easy_init());
  if (!C)
    throw EHttp("Cannot create an HTTP request");
  TTransfer T;
  T.MaxBody = MaxBody;
  T.LineLimit = std::chrono::milliseconds(FTimeouts.LineMs);
  T.Aborted = &FAborted;
  char Error[CURL_ERROR_SIZE] = {0};

  CURL* H = C.get();
  curl_easy_setopt(H, CURLOPT_URL, URL.c_str());
  curl_easy_setopt(H, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(H, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(H, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(H, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(FTimeouts.ConnectMs));
  curl_easy_setopt(H, CURLOPT_NOBODY, HeadOnly ? 1L : 0L);
  curl_easy_setopt(H, CURLOPT_ERRORBUFFER, Error);
  curl_easy_setopt(H, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(H, CURLOPT_HEADERDATA, &T);
  curl_easy_setopt(H, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(H, CURLOPT_WRITEDATA, &T);
  curl_easy_setopt(H, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(H, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(H, CURLOPT_XFERINFODATA, &T);
  if (!FUserAgent.empty())
    curl_easy_setopt(H, CURLOPT_USERAGENT, FUserAgent.c_str());

  T.LineStart = TClockType::now();
  CURLcode Rc = curl_easy_perform(H);
  if (Rc != CURLE_OK) {
    if (T.TooLarge)
      throw EHttp(Format("Reply larger than %d bytes", static_cast<int64_t>(MaxBody)));
    if (T.LineTimedOut)
      throw EHttp(Format("No complete reply line within %d ms", FTimeouts.LineMs));
    if (Aborted())
      throw EHttp("Request aborted");
    throw EHttp(Error[0] ? std::string(Error) : std::string(curl_easy_strerror(Rc)));
  }
  long Code = 0;
  curl_easy_getinfo(H, CURLINFO_RESPONSE_CODE, &Code);
  THttpResponse R;
  R.StatusCode = static_cast<int>(Code);
  R.ContentLength = T.Head.ContentLength();
  R.ContentType = T.Head.ContentType();
  R.Body = std::move(T.Body);
  return R;
}

TWebGet::TWebGet(std::string URL, TOnDone OnDone, THttpTimeouts Timeouts)
    : FHttp(Timeouts), FURL(std::move(URL)), FOnDone(std::move(OnDone)) {
  FHttp.SetUserAgent(Format("ZqClient v%d.%d.%d.%d", 2, 0, 32, 60));
  Start();
}

TWebGet::~TWebGet() {
  Terminate();
  FHttp.Abort();
  WaitFor();
}

void TWebGet::Execute() {
  bool Ok = false;
  try {
    THttpResponse R = FHttp.Get(FURL, MaxTextBytes);
    if (R.StatusCode >= 200 && R.StatusCode < 300) {
      FText.assign(R.Body.begin(), R.Body.end());
      Ok = true;
    }
  } catch (const std::exception&) {
    // A failed check is an ordinary outcome; the handler sees Success false.
  }
  FSuccess.store(Ok, std::memory_order_release);
  FDone.store(true, std::memory_order_release);
  if (FOnDone && !Terminated())
    Synchronize([this] { FOnDone(*this); });
}

TImageWebGet::TImageWebGet(std::string URL, TOnImage OnImage, THttpTimeouts Timeouts)
    : FHttp(Timeouts), FURL(std::move(URL)), FOnImage(std::move(OnImage)) {
  Start();
}

TImageWebGet::~TImageWebGet() {
  Terminate();
  FHttp.Abort();
  WaitFor();
}

void TImageWebGet::Execute() {
  try {
    THttpResponse Head = FHttp.Head(FURL);
    if (Head.StatusCode != 200 || !Head.ContentLength || *Head.ContentLength < 1 ||
        *Head.ContentLength > MaxImageBytes)
      return;
    FExt = ImageExtensionForType(Head.ContentType);
    if (FExt.empty())
      return;
    // The picture may differ from what HEAD announced; the limit holds for
    // what actually arrives too.
    THttpResponse Get = FHttp.Get(FURL, static_cast<size_t>(MaxImageBytes));
    if (Get.StatusCode != 200)
      return;
    FStream = std::move(Get.Body);
    if (FOnImage && !Terminated())
      Synchronize([this] { FOnImage(*this, FStream, FExt, FURL); });
  } catch (const std::exception& E) {
    if (!Terminated())
      LogException("TImageWebGet.Execute", E);
  }
}

} // namespace orlavonix
