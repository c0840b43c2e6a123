// URLSession: HTTP(S) transfers through libcurl. Each session owns one network thread
// (a libcurl multi handle, woken when tasks arrive) and one serial callback queue;
// completion handlers run on that queue, never on the caller's thread and never under a
// lock of the session, each exactly once.
//
// Only http and https are fetched, redirects included. A body over the configured cap,
// a connection that stays idle past the time-out, a transfer still running at its deadline,
// or too many redirects fail the transfer (URLSessionEngine.hpp holds these rules). A failed
// transfer has no body: completion gets absent data and an error. An HTTP error status is
// not a failure: its body is delivered.
//
// The activity current where a task is made (os_activity.hpp) is current again around its
// completion, and each transfer's end is logged under it (URLSessionLog.hpp), so the work
// a caller's request set off is told apart in the log without being handed anything.
//
// Thread-safe. A completion never runs before the resume() that started its task has
// returned. Destroying a session cancels what is still running (each completion is called
// with a cancellation error) and joins its threads. A completion may start further tasks on
// its own session.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/Data.hpp"
#include "Foundation/DispatchQueue.hpp"
#include "Foundation/Export.hpp"
#include "Foundation/NSError.hpp"
#include "Foundation/URL.hpp"
#include "System/os_activity.hpp"
#include "base/Mutex.hpp"
#include "objc/NSObject.hpp"
#include "objc/Strong.hpp"

struct URLSessionConfiguration {
  // The largest body collected; a larger one fails the transfer.
  std::size_t maximumBodyBytes = 16u * 1024u * 1024u;
  // Connect time-out, and the longest a transfer may go without receiving anything.
  std::chrono::seconds timeoutIntervalForRequest{60};
  // The longest a transfer may take from its start to its last byte, however steadily the
  // bytes come.
  std::chrono::seconds timeoutIntervalForResource{60};
  long maximumRedirects = 10;
  // Connections at once to one host, and in all; further transfers wait their turn.
  // maximumConnections also bounds the transfers under way, each counted from its start
  // until its completion has returned, so that at most that many bodies are held at once.
  long httpMaximumConnectionsPerHost = 6;
  long maximumConnections = 64;

  static URLSessionConfiguration defaultConfiguration() { return {}; }
};

struct HTTPURLResponse {
  std::string url;  // the final address, after redirects
  long statusCode = 0;
  std::string mimeType;
  long long expectedContentLength = -1;
};

// NSURLErrorCancelled and friends, as CURLcode maps onto them.
inline constexpr long NSURLErrorCancelled = -999;
inline constexpr long NSURLErrorBadURL = -1000;
inline constexpr long NSURLErrorTimedOut = -1001;
inline constexpr long NSURLErrorUnsupportedURL = -1002;
inline constexpr long NSURLErrorCannotFindHost = -1003;
inline constexpr long NSURLErrorCannotConnectToHost = -1004;
inline constexpr long NSURLErrorNetworkConnectionLost = -1005;
inline constexpr long NSURLErrorHTTPTooManyRedirects = -1007;
inline constexpr long NSURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr long NSURLErrorSecureConnectionFailed = -1200;
inline constexpr long NSURLErrorServerCertificateUntrusted = -1202;
inline constexpr long NSURLErrorUnknown = -1;

class URLSession;
namespace foundation {
class URLSessionEngine;
struct Delivery;
}  // namespace foundation

extern const objc_class objc_class_NSURLSessionDataTask;

using URLSessionCompletionHandler =
    std::function<void(std::optional<Data> body, std::optional<HTTPURLResponse> response,
                       std::optional<NSError> error)>;

// One transfer. Made suspended by URLSession::dataTask; resume() starts it. The session
// keeps what it needs, so the caller may drop the task at once.
class URLSessionDataTask : public NSObject {
 public:
  static Class classRecord();

  // Starts the transfer; later calls do nothing. What finishes while the call is under way
  // (an address refused at once, a quick failure) is held until it returns.
  // REQUIRES: the session that made the task has not been destroyed.
  FOUNDATION_EXPORT void resume() noexcept;
  const URL& originalRequest() const { return url_; }

 private:
  friend class URLSession;
  URLSessionDataTask(URLSession* session, const URL& url, URLSessionCompletionHandler completion);

  URLSession* const session_;
  const URL url_;
  const os_activity_t activity_;  // the maker's
  base::Mutex mu_;
  URLSessionCompletionHandler completion_ GUARDED_BY(mu_);  // moved out by resume()
  bool resumed_ GUARDED_BY(mu_) = false;
};

class URLSession {
 public:
  // The process-wide session with the default configuration; never destroyed.
  FOUNDATION_EXPORT static URLSession& sharedSession() noexcept;

  explicit URLSession(URLSessionConfiguration configuration);
  // REQUIRES: not called from a completion of this session.
  ~URLSession();
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  // A suspended task that fetches `url` and then calls `completion` once on the callback
  // queue with the whole body (or absent), the response (when one arrived) and the error
  // (when the transfer failed).
  FOUNDATION_EXPORT objc::Strong<URLSessionDataTask> dataTask(
      const URL& url, URLSessionCompletionHandler completion) noexcept;

  // Transfers resumed whose completion has not yet returned.
  std::size_t outstandingTasks() const;
  // Waits until no transfer is outstanding, or until `deadline`; true when idle.
  FOUNDATION_EXPORT bool waitUntilIdle(
      std::chrono::steady_clock::time_point deadline) const noexcept;
  // Cancels every outstanding transfer (completions run with NSURLErrorCancelled), stops
  // the threads and refuses later tasks (their completions get NSURLErrorCancelled too,
  // each on a short-lived thread of its own). Called from a completion, it leaves the
  // callback queue running; the destructor stops it.
  FOUNDATION_EXPORT void invalidateAndCancel() noexcept EXCLUDES(mu_);

  const URLSessionConfiguration& configuration() const { return configuration_; }

 private:
  friend class URLSessionDataTask;

  void start(const URL& url, foundation::Delivery delivery) EXCLUDES(mu_);
  // Hands the result to the callback queue (or, once that has stopped, to a thread of its
  // own), through the delivery's gate; called exactly once for every started transfer.
  void complete(foundation::Delivery delivery, std::optional<Data> body,
                std::optional<HTTPURLResponse> response, std::optional<NSError> error)
      EXCLUDES(mu_);
  // Runs a completion under `activity`, releases it, then counts the transfer as done.
  void runCompletion(const os_activity_t& activity, URLSessionCompletionHandler& completion,
                     std::optional<Data> body, std::optional<HTTPURLResponse> response,
                     std::optional<NSError> error) EXCLUDES(mu_);

  const URLSessionConfiguration configuration_;
  const std::unique_ptr<foundation::URLSessionEngine> engine_;  // thread-safe itself

  // Guards the members below.
  mutable base::Mutex mu_;
  mutable std::condition_variable idle_;
  std::size_t outstanding_ GUARDED_BY(mu_) = 0;
  std::unique_ptr<DispatchQueue> callbackQueue_ GUARDED_BY(mu_);  // null once stopped
  bool callbackQueueStarted_ GUARDED_BY(mu_) = false;
  std::vector<std::thread> lateThreads_ GUARDED_BY(mu_);  // completions after the stop
};
