// URLSession: HTTP(S) transfers through libcurl. Each session owns one network thread
// (a libcurl multi handle, woken when tasks arrive) and one serial callback queue;
// completion handlers run on that queue, never on the caller's thread and never under a
// lock of the session, each exactly once.
//
// Only http and https are fetched, redirects included. A body over the configured cap,
// a connection that stays idle past the time-out, or too many redirects fail the transfer.
// A failed transfer has no body: completion gets absent data and an error. An HTTP error
// status is not a failure: its body is delivered.
//
// Thread-safe. Destroying a session cancels what is still running (each completion is
// called with a cancellation error) and joins its threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Foundation/Data.hpp"
#include "Foundation/NSError.hpp"
#include "Foundation/URL.hpp"
#include "objc/Mutex.hpp"
#include "objc/NSObject.hpp"
#include "objc/Strong.hpp"

struct URLSessionConfiguration {
  // The largest body collected; a larger one fails the transfer.
  std::size_t maximumBodyBytes = 16u * 1024u * 1024u;
  // Connect time-out, and the longest a transfer may go without receiving anything.
  std::chrono::seconds timeoutIntervalForRequest{60};
  long maximumRedirects = 10;
  // Connections at once to one host, and in all; further transfers wait their turn.
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
inline constexpr long NSURLErrorCannotConnectToHost = -1004;
inline constexpr long NSURLErrorNetworkConnectionLost = -1005;
inline constexpr long NSURLErrorHTTPTooManyRedirects = -1007;
inline constexpr long NSURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr long NSURLErrorUnknown = -1;

class URLSession;

using URLSessionCompletionHandler = std::function<void(
    std::optional<Data> body, std::optional<HTTPURLResponse> response, std::optional<NSError> error)>;

// One transfer. Made suspended by URLSession::dataTask; resume() starts it. The session
// keeps what it needs, so the caller may drop the task at once.
class URLSessionDataTask : public NSObject {
 public:
  static Class classRecord();

  // Starts the transfer; later calls do nothing.
  void resume();
  const URL& originalRequest() const { return url_; }

 private:
  friend class URLSession;
  URLSessionDataTask(URLSession* session, const URL& url, URLSessionCompletionHandler completion);

  URLSession* const session_;
  const URL url_;
  objc::Mutex mu_;
  URLSessionCompletionHandler completion_ GUARDED_BY(mu_);  // moved out by resume()
  bool resumed_ GUARDED_BY(mu_) = false;
};

class URLSession {
 public:
  // The process-wide session with the default configuration; never destroyed.
  static URLSession& sharedSession();

  explicit URLSession(URLSessionConfiguration configuration);
  ~URLSession();
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  // A suspended task that fetches `url` and then calls `completion` once on the callback
  // queue with the whole body (or absent), the response (when one arrived) and the error
  // (when the transfer failed).
  Strong<URLSessionDataTask> dataTask(const URL& url, URLSessionCompletionHandler completion);

  // Transfers resumed whose completion has not yet returned.
  std::size_t outstandingTasks() const;
  // Waits until no transfer is outstanding, or until `deadline`; true when idle.
  bool waitUntilIdle(std::chrono::steady_clock::time_point deadline) const;
  // Cancels every outstanding transfer (completions run with NSURLErrorCancelled), stops
  // the threads and refuses later tasks (their completions get NSURLErrorCancelled too).
  void invalidateAndCancel();

  const URLSessionConfiguration& configuration() const { return configuration_; }

 private:
  friend class URLSessionDataTask;
  struct Engine;  // the libcurl side, owned by the network thread

  void start(const URL& url, URLSessionCompletionHandler completion);
  void complete(URLSessionCompletionHandler completion, std::optional<Data> body,
                std::optional<HTTPURLResponse> response, std::optional<NSError> error);

  const URLSessionConfiguration configuration_;
  std::unique_ptr<Engine> engine_;

  mutable objc::Mutex mu_;
  mutable std::condition_variable idle_;
  std::size_t outstanding_ GUARDED_BY(mu_) = 0;
};
