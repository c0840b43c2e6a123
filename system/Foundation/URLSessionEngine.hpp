// URLSessionEngine: the libcurl side of a URLSession, and the rules that limit its transfers:
// the protocols fetched (redirects included), how many redirects are followed, the body cap,
// the idle time-out, the deadline of each transfer, and how many transfers run at once, per
// host and in all. It owns one network thread, started with the first transfer, which alone
// touches the libcurl multi handle and every easy handle; other threads only queue transfers
// and wake it.
//
// HTTPS as users meet it: certificates are verified against the system's trust store, whose
// bundle file SSL_CERT_FILE and whose hashed directory SSL_CERT_DIR replace when set (as
// OpenSSL reads them; libcurl does not); TLS 1.2 at least; HTTP/2 through ALPN, with the
// transfers to one host multiplexed on one connection rather than queued behind the
// per-host connection limit. Proxies come from the environment as libcurl reads them
// (http_proxy, https_proxy, all_proxy, no_proxy). Each transfer's end is logged
// (URLSessionLog.hpp).
//
// Private to Foundation (nothing here is exported). Thread-safe. Every transfer submitted
// is handed to the delivery function exactly once, with its body or its error.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Foundation/Data.hpp"
#include "Foundation/NSError.hpp"
#include "Foundation/URLSession.hpp"
#include "Foundation/URLSessionLog.hpp"
#include "Foundation/URLSessionTransfer.hpp"
#include "System/os_activity.hpp"
#include "base/Mutex.hpp"

namespace foundation {

class URLSessionEngine {
 public:
  // Hands a finished transfer on. Called on the network thread, or on the submitting thread
  // when the engine has stopped; it must not block.
  using Deliver =
      std::function<void(Delivery, std::optional<Data> body,
                         std::optional<HTTPURLResponse> response, std::optional<NSError> error)>;

  URLSessionEngine(const URLSessionConfiguration& configuration, Deliver deliver);
  ~URLSessionEngine();
  URLSessionEngine(const URLSessionEngine&) = delete;
  URLSessionEngine& operator=(const URLSessionEngine&) = delete;

  // Queues a fetch of `url` (http or https) for the network thread, starting the thread on
  // first use. Once the engine has stopped, delivers a cancellation at once instead.
  void submit(std::string url, Delivery delivery) EXCLUDES(mu_);
  // Makes the network thread cancel everything and end, and waits for it.
  void stop() EXCLUDES(mu_);

 private:
  // The network thread's own: the transfers in the multi handle, and those waiting for a
  // place outside it.
  using Active = std::map<CURL*, std::unique_ptr<Transfer>>;
  using Waiting = std::deque<std::unique_ptr<Transfer>>;

  // The network thread's loop: takes in what was submitted, admits what the limit allows,
  // drives libcurl, reaps what finished, and sleeps until there is more to do.
  void run() EXCLUDES(mu_);
  // Moves up to `room` waiting transfers into the multi handle; true when a place given back
  // meanwhile means the loop should look again at once.
  bool admit(Active& active, Waiting& waiting, std::size_t room) EXCLUDES(mu_);
  // Hands on every finished transfer, or sends it again; true when any finished.
  bool reap(Active& active);
  // Hands on the cancellation of everything, at the stop.
  void cancelAll(Active& active, Waiting& waiting);
  // Gives back the place of an admitted transfer once its completion has returned.
  void release() EXCLUDES(mu_);
  // Wakes the network thread unless a wake-up is already on its way.
  void wakeLocked() REQUIRES(mu_);
  // Sends `t` again, on a connection libcurl chooses afresh, when its connection died before
  // any answer, the proxy's or the server's, and it has retries left; true when it went back
  // into the multi handle.
  bool retry(Transfer& t, CURLcode code);
  void finish(std::unique_ptr<Transfer> t, CURLcode code);
  // Hands on the cancellation of a transfer that the stop ended or refused.
  void cancel(Delivery delivery, const std::string& url);

  const URLSessionConfiguration configuration_;
  const Deliver deliver_;
  CURLM* const multi_;        // curl_multi_wakeup is the one call other threads make on it
  const std::size_t limit_;   // transfers admitted at once
  const std::size_t wakeAt_;  // the admitted count at which a place given back wakes it
  const TrustStore trust_;    // as the engine was made

  // Guards the members below.
  base::Mutex mu_;
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

}  // namespace foundation
