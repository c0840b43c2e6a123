// One transfer of a URLSession's engine, from its submission until its result is handed on:
// the libcurl easy handle with the session's limits set on it, the body it collects under the
// cap, and what libcurl learnt of the response. Private to Foundation; the engine's network
// thread alone touches a transfer once it is submitted.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "Foundation/Data.hpp"
#include "Foundation/NSError.hpp"
#include "Foundation/URLSession.hpp"
#include "Foundation/URLSessionLog.hpp"
#include "System/os_activity.hpp"

namespace foundation {

class ResumeGate;  // URLSession.cpp

// Where a transfer's result goes: the caller's completion, the gate that holds it back while
// the resume() that started the transfer is still under way, and the caller's activity, current
// around the completion and for the transfer's events. The engine only carries it.
struct Delivery {
  URLSessionCompletionHandler completion;
  std::shared_ptr<ResumeGate> gate;  // never null
  os_activity_t activity;
  TransferClock::time_point started = TransferClock::now();
};

// What OpenSSL's variables named when the session was made: the trust store's bundle file and
// hashed directory, empty when unset.
struct TrustStore {
  std::string file;       // SSL_CERT_FILE
  std::string directory;  // SSL_CERT_DIR

  static TrustStore fromEnvironment();
};

struct Transfer {
  Transfer(std::string address, Delivery d) : url(std::move(address)), delivery(std::move(d)) {}
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
  }

  // Makes the easy handle and sets the session's rules on it: the protocols (redirects
  // included), the body cap, the idle time-out and the deadline, TLS 1.2 at least, HTTP/2
  // through ALPN, the trust store. An error when libcurl refuses an option.
  Status prepare(const URLSessionConfiguration& configuration, const TrustStore& trust);
  // Forgets what the last attempt received, before the transfer is sent again.
  void restart();
  // The response libcurl learnt of, when one arrived.
  std::optional<HTTPURLResponse> response() const;
  // libcurl's status code of the response, 0 before one; and of a proxy's answer to CONNECT.
  long status() const;
  long proxyStatus() const;

  std::string url;
  Delivery delivery;
  CURL* easy = nullptr;  // owned; out of the multi handle before it is cleaned up
  Data body;
  std::size_t maximumBodyBytes = 0;
  bool overCap = false;
  bool queued = false;  // it has waited for a place, and said so
  int retries = 0;      // times sent again after its connection died unanswered
  TransferClock::time_point admitted;
  char errorBuffer[CURL_ERROR_SIZE] = {};

 private:
  static std::size_t write(char* data, std::size_t size, std::size_t count, void* context);

  bool reserved_ = false;  // room made for the declared length
};

}  // namespace foundation
