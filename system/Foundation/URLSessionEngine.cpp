#include "Foundation/URLSessionEngine.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

#include "Foundation/CurlError.hpp"

namespace foundation {

namespace {

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

URLSessionEngine::URLSessionEngine(const URLSessionConfiguration& configuration, Deliver deliver)
    : configuration_(configuration),
      deliver_(std::move(deliver)),
      multi_((initCurlOnce(), curl_multi_init())),
      limit_(static_cast<std::size_t>(std::max(1L, configuration.maximumConnections))),
      wakeAt_(limit_ - std::max<std::size_t>(1, limit_ / 4)),
      trust_(TrustStore::fromEnvironment()) {
  if (multi_ != nullptr) {
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS,
                      configuration_.httpMaximumConnectionsPerHost);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, configuration_.maximumConnections);
    // Transfers to a host that speaks HTTP/2 share one connection as streams; the per-host
    // limit then bounds connections, not transfers.
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
  // burst of socket activity; it goes to sleep with transfers waiting only at a full house. So a
  // place given back wakes it only when a quarter of the places are free: one wake-up then
  // admits a batch, where waking it for each place cost a wake-up per transfer.
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

bool URLSessionEngine::retry(Transfer& t, CURLcode code) {
  // A server retiring a connection (an HTTP/2 GOAWAY, a keep-alive connection closed as it was
  // reused) leaves the requests it never took unanswered, and a GET is safe to send again.
  // libcurl retries on another connection itself, but under the connection limit the next one
  // may be on its way out too. An answer, a proxy's refusal of its tunnel among them, is not a
  // connection that died: sent again, it would only be answered again.
  constexpr int kMaximumRetries = 4;
  const bool died = urlErrorCode(code) == NSURLErrorNetworkConnectionLost;
  const bool answered = t.status() != 0 || t.proxyStatus() != 0 || t.body.count() != 0;
  if (!died || answered || t.retries == kMaximumRetries) return false;
  ++t.retries;
  logTransferRetried(t.delivery.activity, t.url, curlReason(code, t.errorBuffer), t.retries);
  t.restart();
  return curl_multi_add_handle(multi_, t.easy) == CURLM_OK;
}

void URLSessionEngine::finish(std::unique_ptr<Transfer> t, CURLcode code) {
  std::optional<HTTPURLResponse> response = t->response();
  std::optional<Data> body;
  std::optional<NSError> error;
  if (code == CURLE_OK) {
    logCurlTransfer(t->delivery.activity, t->easy, t->url, t->delivery.started, t->admitted,
                    t->body.count(), {});
    body = std::move(t->body);
  } else {
    // A write refused by the cap shows up as a write error; name it for what it is. A declared
    // length over the cap is refused by libcurl, whose words do not say the cap.
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

void URLSessionEngine::cancelAll(Active& active, Waiting& waiting) {
  for (auto& [easy, t] : active) {
    curl_multi_remove_handle(multi_, easy);
    // The log says what had arrived (a status, part of the body); the completion gets only the
    // cancellation.
    NSError error = cancelledError();
    logCurlTransfer(t->delivery.activity, easy, t->url, t->delivery.started, t->admitted,
                    t->body.count(), error.description);
    deliver_(std::move(t->delivery), std::nullopt, std::nullopt, std::move(error));
  }
  for (auto& t : waiting) cancel(std::move(t->delivery), t->url);
}

bool URLSessionEngine::admit(Active& active, Waiting& waiting, std::size_t room) {
  std::size_t added = 0;
  while (!waiting.empty() && added < room) {
    std::unique_ptr<Transfer> t = std::move(waiting.front());
    waiting.pop_front();
    Status prepared = t->prepare(configuration_, trust_);
    if (prepared.ok()) {
      if (const CURLMcode mc = curl_multi_add_handle(multi_, t->easy); mc != CURLM_OK) {
        prepared = NSError{NSURLErrorDomain, NSURLErrorUnknown,
                           std::string("curl_multi_add_handle: ") + curl_multi_strerror(mc)};
      }
    }
    if (!prepared.ok()) {
      const NSError& error = prepared.error();
      logTransferNotRun(t->delivery.activity, t->url, t->delivery.started, error.description);
      deliver_(std::move(t->delivery), std::nullopt, std::nullopt, error);
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
  base::MutexLock lock(mu_);
  admitted_ += added;
  waiting_ = !waiting.empty();
  // A place given back while this thread was admitting has woken nobody.
  return waiting_ && admitted_ < limit_;
}

bool URLSessionEngine::reap(Active& active) {
  bool finished = false;
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
    // A finished transfer frees its connection; libcurl starts the transfers that wait for one
    // only when driven again, so it is driven again now rather than after a poll time-out.
    finished = true;
  }
  return finished;
}

void URLSessionEngine::run() {
  Active active;
  // Transfers beyond the limit wait here without an easy handle: libcurl gives each handle its
  // buffers as soon as it is added, even while it queues for a connection (docs/benchmarks.md,
  // "Transfers wait outside libcurl until a place is free").
  Waiting waiting;
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
      cancelAll(active, waiting);
      return;
    }
    bool again = admit(active, waiting, room);
    int running = 0;
    curl_multi_perform(multi_, &running);
    again = reap(active) || again;
    if (again) continue;
    // Wakes on socket activity, libcurl's own timers, or curl_multi_wakeup from submit or stop.
    curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
  }
}

}  // namespace foundation
