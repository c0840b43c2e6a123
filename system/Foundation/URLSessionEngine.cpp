#include "Foundation/URLSessionEngine.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

namespace {

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

// An environment variable's value; empty when unset.
std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

namespace foundation {

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
  return NSError{NSURLErrorDomain, urlCode, call + ": " + curlReason(code, detail)};
}

std::string curlReason(CURLcode code, std::string_view detail) {
  std::string reason = curl_easy_strerror(code);
  reason += " (CURLcode " + std::to_string(static_cast<int>(code)) + ")";
  if (!detail.empty()) {
    reason += ": ";
    reason += detail;
  }
  return reason;
}

NSError cancelledError() {
  return NSError{NSURLErrorDomain, NSURLErrorCancelled, "cancelled: the session was invalidated"};
}

URLSessionEngine::URLSessionEngine(const URLSessionConfiguration& configuration, Deliver deliver)
    : configuration_(configuration),
      deliver_(std::move(deliver)),
      multi_((initCurlOnce(), curl_multi_init())),
      limit_(static_cast<std::size_t>(std::max(1L, configuration.maximumConnections))),
      wakeAt_(limit_ - std::max<std::size_t>(1, limit_ / 4)),
      certificateFile_(environment("SSL_CERT_FILE")),
      certificateDirectory_(environment("SSL_CERT_DIR")) {
  if (multi_ != nullptr) {
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS,
                      configuration_.httpMaximumConnectionsPerHost);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, configuration_.maximumConnections);
    // Transfers to a host that speaks HTTP/2 share one connection as streams; the
    // per-host limit then bounds connections, not transfers.
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
  }
}

URLSessionEngine::~URLSessionEngine() {
  stop();
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

void URLSessionEngine::submit(std::string url, Delivery delivery) {
  {
    base::MutexLock lock(mu_);
    if (!stopping_ && multi_ != nullptr) {
      pending_.push_back(std::make_unique<Transfer>(std::move(url), std::move(delivery)));
      if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
      wakeLocked();
      return;
    }
  }
  cancel(std::move(delivery), url);
}

void URLSessionEngine::cancel(Delivery delivery, const std::string& url) {
  NSError error = cancelledError();
  logTransferNotRun(delivery.activity, url, delivery.started, error.description);
  deliver_(std::move(delivery), std::nullopt, std::nullopt, std::move(error));
}

void URLSessionEngine::wakeLocked() {
  if (wakePending_) return;
  wakePending_ = true;
  curl_multi_wakeup(multi_);
}

void URLSessionEngine::release() {
  base::MutexLock lock(mu_);
  // The network thread admits what room there is each time it looks, and it looks at every
  // burst of socket activity; it goes to sleep with transfers waiting only at a full house.
  // So a place given back wakes it only when a quarter of the places are free: one wake-up
  // then admits a batch, where waking it for each place cost a wake-up per transfer.
  --admitted_;
  if (waiting_ && admitted_ == wakeAt_ && !stopping_) wakeLocked();
}

void URLSessionEngine::stop() {
  std::thread thread;
  {
    base::MutexLock lock(mu_);
    stopping_ = true;
    thread = std::move(thread_);
  }
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
  if (thread.joinable()) thread.join();
}

std::optional<NSError> URLSessionEngine::prepare(Transfer& t) {
  t.easy = curl_easy_init();
  if (t.easy == nullptr) return curlError("curl_easy_init", CURLE_OUT_OF_MEMORY, {});
  CURL* e = t.easy;
  t.maximumBodyBytes = configuration_.maximumBodyBytes;
  const long timeout = static_cast<long>(configuration_.timeoutIntervalForRequest.count());
  const auto deadline = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              configuration_.timeoutIntervalForResource)
                                              .count());
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
  // A server trickling just above that rate must not hold a connection, and with it every
  // later transfer to that host, for as long as the body cap allows: each transfer also has
  // a deadline from its start.
  set(curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, deadline));
  // Refuses a declared Content-Length over the cap before any of the body arrives.
  set(curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, cap));
  set(curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBufferBytes));
  set(curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &URLSessionEngine::write));
  set(curl_easy_setopt(e, CURLOPT_WRITEDATA, &t));
  set(curl_easy_setopt(e, CURLOPT_USERAGENT, "HalvicourtNotificationService/1.0"));
  // As the platform's session does: compressed bodies are asked for and decoded, so a server
  // that compresses an image hands over the image. The cap above counts decoded bytes.
  set(curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, ""));
  set(curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)));
  set(curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS)));
  // A second transfer to a host whose first connection is still being set up waits to learn
  // whether it can share it, rather than opening another. Plain http never multiplexes, so
  // there it would only wait.
  if (t.url.starts_with("https:")) set(curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L));
  // libcurl has its trust store built in; OpenSSL's variables point elsewhere only when set.
  if (!certificateFile_.empty()) {
    set(curl_easy_setopt(e, CURLOPT_CAINFO, certificateFile_.c_str()));
  }
  if (!certificateDirectory_.empty()) {
    set(curl_easy_setopt(e, CURLOPT_CAPATH, certificateDirectory_.c_str()));
  }
  if (rc != CURLE_OK) return curlError("curl_easy_setopt", rc, t.errorBuffer);
  return std::nullopt;
}

std::size_t URLSessionEngine::write(char* data, std::size_t size, std::size_t count,
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

bool URLSessionEngine::retry(Transfer& t, CURLcode code) {
  // A server retiring a connection (an HTTP/2 GOAWAY, a keep-alive connection closed as it
  // was reused) leaves the requests it never took unanswered, and a GET is safe to send
  // again. libcurl retries on another connection itself, but under the connection limit the
  // next one may be on its way out too.
  constexpr int kMaximumRetries = 4;
  long status = 0;
  curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
  const bool died = code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR ||
                    code == CURLE_GOT_NOTHING || code == CURLE_HTTP2 || code == CURLE_HTTP2_STREAM;
  if (!died || status != 0 || t.body.count() != 0 || t.retries == kMaximumRetries) return false;
  ++t.retries;
  logTransferRetried(t.delivery.activity, t.url, curlReason(code, t.errorBuffer), t.retries);
  t.errorBuffer[0] = '\0';
  t.reserved = false;
  return curl_multi_add_handle(multi_, t.easy) == CURLM_OK;
}

void URLSessionEngine::finish(std::unique_ptr<Transfer> t, CURLcode code) {
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
    logCurlTransfer(t->delivery.activity, t->easy, t->url, t->delivery.started, t->admitted,
                    t->body.count(), {});
    body = std::move(t->body);
  } else {
    // A write refused by the cap shows up as a write error; name it for what it is. A
    // declared length over the cap is refused by libcurl, whose words do not say the cap.
    const CURLcode failure = t->overCap ? CURLE_FILESIZE_EXCEEDED : code;
    const std::string cap = std::to_string(t->maximumBodyBytes) + " bytes";
    const std::string detail = t->overCap                           ? "body over " + cap
                               : failure == CURLE_FILESIZE_EXCEEDED ? "declared length over " + cap
                                                                    : std::string(t->errorBuffer);
    logCurlTransfer(t->delivery.activity, t->easy, t->url, t->delivery.started, t->admitted,
                    t->body.count(), curlReason(failure, detail));
    error = curlError("GET " + t->url, failure, detail);
  }
  // The place goes back only after the completion and what it captured are gone.
  Delivery delivery = std::move(t->delivery);
  delivery.completion = [this, inner = std::move(delivery.completion)](
                            std::optional<Data> b, std::optional<HTTPURLResponse> r,
                            std::optional<NSError> e) mutable {
    inner(std::move(b), std::move(r), std::move(e));
    inner = nullptr;
    release();
  };
  t.reset();
  deliver_(std::move(delivery), std::move(body), std::move(response), std::move(error));
}

void URLSessionEngine::run() {
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
      base::MutexLock lock(mu_);
      incoming.swap(pending_);
      stopping = stopping_;
      wakePending_ = false;
      room = limit_ - std::min(limit_, admitted_);
    }
    for (auto& t : incoming) waiting.push_back(std::move(t));
    if (stopping) {
      for (auto& [easy, t] : active) {
        curl_multi_remove_handle(multi_, easy);
        // The log says what had arrived (a status, part of the body); the completion gets
        // only the cancellation.
        NSError error = cancelledError();
        logCurlTransfer(t->delivery.activity, easy, t->url, t->delivery.started, t->admitted,
                        t->body.count(), error.description);
        deliver_(std::move(t->delivery), std::nullopt, std::nullopt, std::move(error));
      }
      for (auto& t : waiting) cancel(std::move(t->delivery), t->url);
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
        logTransferNotRun(t->delivery.activity, t->url, t->delivery.started, error->description);
        deliver_(std::move(t->delivery), std::nullopt, std::nullopt, std::move(error));
        continue;
      }
      t->admitted = TransferClock::now();
      CURL* easy = t->easy;
      active.emplace(easy, std::move(t));
      ++added;
    }
    // Newcomers are at the back: each says once that it waits, behind those before it.
    std::size_t newcomer = waiting.size();
    while (newcomer > 0 && !waiting[newcomer - 1]->queued) --newcomer;
    for (std::size_t ahead = newcomer; ahead < waiting.size(); ++ahead) {
      waiting[ahead]->queued = true;
      logTransferQueued(waiting[ahead]->delivery.activity, waiting[ahead]->url, ahead);
    }
    bool again = false;
    {
      base::MutexLock lock(mu_);
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
      curl_multi_remove_handle(multi_, easy);  // invalidates msg
      if (!retry(*it->second, code)) {
        std::unique_ptr<Transfer> t = std::move(it->second);
        active.erase(it);
        finish(std::move(t), code);
      }
      // A finished transfer frees its connection; libcurl starts the transfers that wait
      // for one only when driven again, so drive it now rather than after a poll time-out.
      again = true;
    }
    if (again) continue;
    // Wakes on socket activity, libcurl's own timers, or curl_multi_wakeup from submit/stop.
    curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
  }
}

}  // namespace foundation
