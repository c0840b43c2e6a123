#include "Foundation/URLSession.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

// ---- URLSessionDataTask ----------------------------------------------------------------

namespace {

void URLSessionDataTask_resume(id self, SEL) { static_cast<URLSessionDataTask*>(self)->resume(); }

constinit const objc_method kURLSessionDataTaskMethods[] = {
    {"resume", "v16@0:8", OBJC_IMP(URLSessionDataTask_resume)},
};

}  // namespace

constinit const objc_class objc_class_NSURLSessionDataTask =
    objc_makeClass(&objc_class_NSObject, "NSURLSessionDataTask", sizeof(URLSessionDataTask),
                   kURLSessionDataTaskMethods);
OBJC_CLASSLIST_ENTRY(objc_class_NSURLSessionDataTask);

Class URLSessionDataTask::classRecord() { return &objc_class_NSURLSessionDataTask; }

URLSessionDataTask::URLSessionDataTask(URLSession* session, const URL& url,
                                       URLSessionCompletionHandler completion)
    : NSObject(&objc_class_NSURLSessionDataTask),
      session_(session),
      url_(url),
      completion_(std::move(completion)) {}

void URLSessionDataTask::resume() {
  URLSessionCompletionHandler completion;
  {
    objc::MutexLock lock(mu_);
    if (resumed_) return;
    resumed_ = true;
    completion = std::move(completion_);
  }
  session_->start(url_, std::move(completion));
}

// ---- Errors ----------------------------------------------------------------------------

namespace {

// The one place where a libcurl failure becomes an NSError: the NSURLErrorDomain code that
// callers branch on, and a description naming the call, the CURLcode and libcurl's detail.
NSError curlError(const std::string& call, CURLcode code, std::string_view detail) {
  long urlCode = NSURLErrorUnknown;
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      urlCode = NSURLErrorTimedOut;
      break;
    case CURLE_TOO_MANY_REDIRECTS:
      urlCode = NSURLErrorHTTPTooManyRedirects;
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      urlCode = NSURLErrorCannotFindHost;
      break;
    case CURLE_COULDNT_CONNECT:
      urlCode = NSURLErrorCannotConnectToHost;
      break;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      urlCode = NSURLErrorNetworkConnectionLost;
      break;
    case CURLE_UNSUPPORTED_PROTOCOL:
      urlCode = NSURLErrorUnsupportedURL;
      break;
    case CURLE_URL_MALFORMAT:
      urlCode = NSURLErrorBadURL;
      break;
    case CURLE_FILESIZE_EXCEEDED:
      urlCode = NSURLErrorDataLengthExceedsMaximum;
      break;
    case CURLE_SSL_CONNECT_ERROR:
      urlCode = NSURLErrorSecureConnectionFailed;
      break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      urlCode = NSURLErrorServerCertificateUntrusted;
      break;
    case CURLE_ABORTED_BY_CALLBACK:
      urlCode = NSURLErrorCancelled;
      break;
    default:
      break;
  }
  std::string description = call + ": ";
  description += curl_easy_strerror(code);
  description += " (CURLcode " + std::to_string(static_cast<int>(code)) + ")";
  if (!detail.empty()) {
    description += ": ";
    description += detail;
  }
  return NSError{NSURLErrorDomain, urlCode, std::move(description)};
}

NSError cancelledError() {
  return NSError{NSURLErrorDomain, NSURLErrorCancelled, "cancelled: the session was invalidated"};
}

std::string lowercase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// "image/png; charset=x" -> "image/png"
std::string mimeTypeOf(const char* contentType) {
  if (contentType == nullptr) return {};
  std::string_view text(contentType);
  text = text.substr(0, text.find(';'));
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
    text.remove_suffix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) {
    text.remove_prefix(1);
  }
  return lowercase(text);
}

// libcurl's receive buffer per transfer. Its 16 KiB default took five reads, five write
// callbacks and as many polls for a 64 KiB image; curl's own tool uses 100 KiB.
constexpr long kReceiveBufferBytes = 64 * 1024;

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

// ---- Engine: the network thread --------------------------------------------------------

// The libcurl side of a session. The multi handle and every easy handle belong to the
// network thread alone; other threads only queue transfers and wake it.
struct URLSession::Engine {
  // One transfer, from start() until its completion has been handed on.
  struct Transfer {
    std::string url;
    URLSessionCompletionHandler completion;
    CURL* easy = nullptr;  // owned; out of the multi handle before it is cleaned up
    Data body;
    std::size_t maximumBodyBytes = 0;
    bool reserved = false;
    bool overCap = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() {
      if (easy != nullptr) curl_easy_cleanup(easy);
    }
  };

  Engine(URLSession& session, const URLSessionConfiguration& configuration);
  ~Engine();

  // Queues a transfer for the network thread, starting it on first use (then `*started` is
  // set); false once the engine has stopped (the transfer is then the caller's to complete).
  bool submit(std::unique_ptr<Transfer>& transfer, bool* started) EXCLUDES(mu_);
  // Makes the network thread cancel everything and end, and waits for it.
  void stop() EXCLUDES(mu_);

 private:
  void run() EXCLUDES(mu_);
  // Gives back the place of an admitted transfer once its completion has returned.
  void release() EXCLUDES(mu_);
  // Wakes the network thread unless a wake-up is already on its way.
  void wakeLocked() REQUIRES(mu_);
  // Sets up the easy handle; an error when libcurl refuses an option.
  std::optional<NSError> prepare(Transfer& t);
  void finish(std::unique_ptr<Transfer> t, CURLcode code);
  static std::size_t write(char* data, std::size_t size, std::size_t count, void* context);

  URLSession& session_;
  const URLSessionConfiguration& configuration_;
  CURLM* const multi_;       // curl_multi_wakeup is the one call other threads make on it
  const std::size_t limit_;  // transfers admitted at once

  // Guards the members below.
  objc::Mutex mu_;
  std::vector<std::unique_ptr<Transfer>> pending_ GUARDED_BY(mu_);
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_ GUARDED_BY(mu_);
  // Transfers admitted to the multi handle whose completion has not yet returned; at most
  // maximumConnections. A place is held until the completion returns, not only until the
  // body is in, so that bodies queued behind a slow completion count against the limit.
  std::size_t admitted_ GUARDED_BY(mu_) = 0;
  bool waiting_ GUARDED_BY(mu_) = false;      // transfers wait for a place
  bool wakePending_ GUARDED_BY(mu_) = false;  // cleared when the network thread looks again
};

URLSession::Engine::Engine(URLSession& session, const URLSessionConfiguration& configuration)
    : session_(session),
      configuration_(configuration),
      multi_((initCurlOnce(), curl_multi_init())),
      limit_(static_cast<std::size_t>(std::max(1L, configuration.maximumConnections))) {
  if (multi_ != nullptr) {
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS,
                      configuration_.httpMaximumConnectionsPerHost);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, configuration_.maximumConnections);
  }
}

URLSession::Engine::~Engine() {
  stop();
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

bool URLSession::Engine::submit(std::unique_ptr<Transfer>& transfer, bool* started) {
  {
    objc::MutexLock lock(mu_);
    if (stopping_ || multi_ == nullptr) return false;
    pending_.push_back(std::move(transfer));
    if (!thread_.joinable()) {
      thread_ = std::thread([this] { run(); });
      *started = true;
    }
    wakeLocked();
  }
  return true;
}

void URLSession::Engine::wakeLocked() {
  if (wakePending_) return;
  wakePending_ = true;
  curl_multi_wakeup(multi_);
}

void URLSession::Engine::release() {
  objc::MutexLock lock(mu_);
  // Only the place that ends a full house needs the network thread: until then it admits
  // what it can each time it looks, and it looks again when a place frees meanwhile.
  const bool wasFull = admitted_ == limit_;
  --admitted_;
  if (wasFull && waiting_ && !stopping_) wakeLocked();
}

void URLSession::Engine::stop() {
  std::thread thread;
  {
    objc::MutexLock lock(mu_);
    stopping_ = true;
    thread = std::move(thread_);
  }
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
  if (thread.joinable()) thread.join();
}

std::optional<NSError> URLSession::Engine::prepare(Transfer& t) {
  t.easy = curl_easy_init();
  if (t.easy == nullptr) return curlError("curl_easy_init", CURLE_OUT_OF_MEMORY, {});
  CURL* e = t.easy;
  const long timeout = static_cast<long>(configuration_.timeoutIntervalForRequest.count());
  const auto cap = static_cast<curl_off_t>(
      std::min<std::size_t>(configuration_.maximumBodyBytes,
                            static_cast<std::size_t>(std::numeric_limits<curl_off_t>::max())));
  // Each option is checked: a libcurl that ignored the protocol limits would fetch file://.
  CURLcode rc = CURLE_OK;
  auto set = [&rc](CURLcode r) {
    if (rc == CURLE_OK) rc = r;
  };
  set(curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer));
  set(curl_easy_setopt(e, CURLOPT_PRIVATE, &t));
  set(curl_easy_setopt(e, CURLOPT_URL, t.url.c_str()));
  set(curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L));
  set(curl_easy_setopt(e, CURLOPT_MAXREDIRS, configuration_.maximumRedirects));
  set(curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, timeout));
  // A transfer fails once it has received nothing for the whole time-out.
  set(curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L));
  set(curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, timeout));
  // Refuses a declared Content-Length over the cap before any of the body arrives.
  set(curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, cap));
  set(curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBufferBytes));
  set(curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Engine::write));
  set(curl_easy_setopt(e, CURLOPT_WRITEDATA, &t));
  set(curl_easy_setopt(e, CURLOPT_USERAGENT, "HalvicourtNotificationService/1.0"));
  if (rc != CURLE_OK) return curlError("curl_easy_setopt", rc, t.errorBuffer);
  return std::nullopt;
}

std::size_t URLSession::Engine::write(char* data, std::size_t size, std::size_t count,
                                      void* context) {
  auto* t = static_cast<Transfer*>(context);
  const std::size_t n = size * count;
  if (n > t->maximumBodyBytes - t->body.count()) {
    t->overCap = true;
    return 0;  // fails the transfer with CURLE_WRITE_ERROR
  }
  if (!t->reserved) {
    t->reserved = true;
    curl_off_t declared = -1;
    if (curl_easy_getinfo(t->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared) == CURLE_OK &&
        declared > 0 && static_cast<std::uint64_t>(declared) <= t->maximumBodyBytes) {
      t->body.reserve(static_cast<std::size_t>(declared));
    }
  }
  t->body.append(data, n);
  return n;
}

void URLSession::Engine::finish(std::unique_ptr<Transfer> t, CURLcode code) {
  std::optional<HTTPURLResponse> response;
  long status = 0;
  curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
  if (status != 0) {
    HTTPURLResponse r;
    r.statusCode = status;
    char* effective = nullptr;
    if (curl_easy_getinfo(t->easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
        effective != nullptr) {
      r.url = effective;
    } else {
      r.url = t->url;
    }
    char* contentType = nullptr;
    curl_easy_getinfo(t->easy, CURLINFO_CONTENT_TYPE, &contentType);
    r.mimeType = mimeTypeOf(contentType);
    curl_off_t length = -1;
    if (curl_easy_getinfo(t->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
      r.expectedContentLength = static_cast<long long>(length);
    }
    response = std::move(r);
  }
  std::optional<Data> body;
  std::optional<NSError> error;
  if (code == CURLE_OK) {
    body = std::move(t->body);
  } else {
    // A write refused by the cap shows up as a write error; name it for what it is.
    error = t->overCap ? curlError("GET " + t->url, CURLE_FILESIZE_EXCEEDED,
                                   "body over " + std::to_string(t->maximumBodyBytes) + " bytes")
                       : curlError("GET " + t->url, code, t->errorBuffer);
  }
  // The place goes back only after the completion and what it captured are gone.
  URLSessionCompletionHandler completion = [this, inner = std::move(t->completion)](
                                               std::optional<Data> b,
                                               std::optional<HTTPURLResponse> r,
                                               std::optional<NSError> e) mutable {
    inner(std::move(b), std::move(r), std::move(e));
    inner = nullptr;
    release();
  };
  t.reset();
  session_.complete(std::move(completion), std::move(body), std::move(response), std::move(error));
}

void URLSession::Engine::run() {
  std::map<CURL*, std::unique_ptr<Transfer>> active;
  // Transfers beyond the limit wait here without an easy handle: libcurl gives each handle
  // its buffers as soon as it is added, even while it queues for a connection, which for
  // thousands of queued transfers came to tens of megabytes.
  std::deque<std::unique_ptr<Transfer>> waiting;
  for (;;) {
    std::vector<std::unique_ptr<Transfer>> incoming;
    bool stopping = false;
    std::size_t room = 0;
    {
      objc::MutexLock lock(mu_);
      incoming.swap(pending_);
      stopping = stopping_;
      wakePending_ = false;
      room = limit_ - std::min(limit_, admitted_);
    }
    for (auto& t : incoming) waiting.push_back(std::move(t));
    if (stopping) {
      for (auto& [easy, t] : active) {
        curl_multi_remove_handle(multi_, easy);
        session_.complete(std::move(t->completion), std::nullopt, std::nullopt, cancelledError());
      }
      for (auto& t : waiting) {
        session_.complete(std::move(t->completion), std::nullopt, std::nullopt, cancelledError());
      }
      return;
    }
    std::size_t added = 0;
    while (!waiting.empty() && added < room) {
      std::unique_ptr<Transfer> t = std::move(waiting.front());
      waiting.pop_front();
      std::optional<NSError> error = prepare(*t);
      if (!error) {
        CURLMcode mc = curl_multi_add_handle(multi_, t->easy);
        if (mc != CURLM_OK) {
          error = NSError{NSURLErrorDomain, NSURLErrorUnknown,
                          std::string("curl_multi_add_handle: ") + curl_multi_strerror(mc)};
        }
      }
      if (error) {
        session_.complete(std::move(t->completion), std::nullopt, std::nullopt, std::move(error));
        continue;
      }
      CURL* easy = t->easy;
      active.emplace(easy, std::move(t));
      ++added;
    }
    bool again = false;
    {
      objc::MutexLock lock(mu_);
      admitted_ += added;
      waiting_ = !waiting.empty();
      // A place given back while this thread was admitting has woken nobody.
      again = waiting_ && admitted_ < limit_;
    }

    int running = 0;
    curl_multi_perform(multi_, &running);
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
      if (msg->msg != CURLMSG_DONE) continue;
      CURL* easy = msg->easy_handle;
      const CURLcode code = msg->data.result;
      auto it = active.find(easy);
      if (it == active.end()) continue;
      std::unique_ptr<Transfer> t = std::move(it->second);
      active.erase(it);
      curl_multi_remove_handle(multi_, easy);  // invalidates msg
      finish(std::move(t), code);
      // A finished transfer frees its connection; libcurl starts the transfers that wait
      // for one only when driven again, so drive it now rather than after a poll time-out.
      again = true;
    }
    if (again) continue;
    // Wakes on socket activity, libcurl's own timers, or curl_multi_wakeup from submit/stop.
    curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
  }
}

// ---- URLSession ------------------------------------------------------------------------

URLSession& URLSession::sharedSession() {
  // Never destroyed: completions may still be running on its queue at process exit.
  static URLSession* const shared = new URLSession(URLSessionConfiguration::defaultConfiguration());
  return *shared;
}

URLSession::URLSession(URLSessionConfiguration configuration)
    : configuration_(configuration),
      engine_(std::make_unique<Engine>(*this, configuration_)),
      callbackQueue_(std::make_unique<DispatchQueue>("URLSession.callbacks")) {}

URLSession::~URLSession() {
  invalidateAndCancel();
  // Completions of tasks started after the invalidation may still be running.
  for (;;) {
    std::vector<std::thread> threads;
    {
      objc::MutexLock lock(mu_);
      threads.swap(lateThreads_);
    }
    if (threads.empty()) break;
    for (std::thread& thread : threads) thread.join();
  }
  std::unique_ptr<DispatchQueue> queue;
  {
    objc::MutexLock lock(mu_);
    queue = std::move(callbackQueue_);
  }
  queue.reset();
}

Strong<URLSessionDataTask> URLSession::dataTask(const URL& url,
                                                URLSessionCompletionHandler completion) {
  return Strong<URLSessionDataTask>::adopt(
      new URLSessionDataTask(this, url, std::move(completion)));
}

void URLSession::start(const URL& url, URLSessionCompletionHandler completion) {
  {
    objc::MutexLock lock(mu_);
    ++outstanding_;
  }
  const std::string scheme = url.scheme();
  if (scheme != "http" && scheme != "https") {
    // Decided here so that no other scheme ever reaches libcurl.
    complete(std::move(completion), std::nullopt, std::nullopt,
             NSError{NSURLErrorDomain, NSURLErrorUnsupportedURL,
                     "unsupported URL \"" + url.absoluteString() +
                         "\": only absolute http and https addresses are fetched"});
    return;
  }
  auto transfer = std::make_unique<Engine::Transfer>();
  transfer->url = url.absoluteString();
  transfer->completion = std::move(completion);
  transfer->maximumBodyBytes = configuration_.maximumBodyBytes;
  bool started = false;
  if (!engine_->submit(transfer, &started)) {
    complete(std::move(transfer->completion), std::nullopt, std::nullopt, cancelledError());
  } else if (started) {
    // The callback queue starts its thread on first use; started now, alongside the first
    // transfer, it is ready when the body arrives instead of being started on its path.
    objc::MutexLock lock(mu_);
    if (callbackQueue_ != nullptr) callbackQueue_->async([] {});
  }
}

void URLSession::complete(URLSessionCompletionHandler completion, std::optional<Data> body,
                          std::optional<HTTPURLResponse> response, std::optional<NSError> error) {
  auto work = [this, completion = std::move(completion), body = std::move(body),
               response = std::move(response), error = std::move(error)]() mutable {
    runCompletion(completion, std::move(body), std::move(response), std::move(error));
  };
  objc::MutexLock lock(mu_);
  if (callbackQueue_ != nullptr) {
    callbackQueue_->async(std::move(work));
  } else {
    lateThreads_.emplace_back(std::move(work));
  }
}

void URLSession::runCompletion(URLSessionCompletionHandler& completion, std::optional<Data> body,
                               std::optional<HTTPURLResponse> response,
                               std::optional<NSError> error) {
  URLSessionCompletionHandler fn = std::move(completion);
  if (fn) fn(std::move(body), std::move(response), std::move(error));
  // What the completion captured goes before the transfer counts as done, so that an idle
  // session holds nothing of its callers.
  fn = nullptr;
  objc::MutexLock lock(mu_);
  --outstanding_;
  if (outstanding_ == 0) idle_.notify_all();
}

std::size_t URLSession::outstandingTasks() const {
  objc::MutexLock lock(mu_);
  return outstanding_;
}

bool URLSession::waitUntilIdle(std::chrono::steady_clock::time_point deadline) const {
  objc::MutexLock lock(mu_);
  while (outstanding_ != 0) {
    if (!lock.waitUntil(idle_, deadline)) return outstanding_ == 0;
  }
  return true;
}

void URLSession::invalidateAndCancel() {
  // The network thread hands every cancelled transfer to the callback queue before it ends.
  engine_->stop();
  std::unique_ptr<DispatchQueue> queue;
  {
    objc::MutexLock lock(mu_);
    // A completion that invalidates its own session cannot drain the queue it runs on.
    if (callbackQueue_ != nullptr && !callbackQueue_->isCurrent()) {
      queue = std::move(callbackQueue_);
    }
  }
  queue.reset();  // runs what is queued, then joins the queue's thread
}
