// Http2Session: the HTTP/2 server side of one gateway connection (libnghttp2's server
// session), bytes in and bytes out, with no I/O of its own. It collects each request's
// headers and body within their bounds, checks the request when it is complete (or its body
// has passed its limit), hands a push that passes to the sink and sends the answer.
//
// Not thread-safe: one per connection, on the gateway's thread. Owns its nghttp2 session and
// its streams; the sink, options and verifier are the caller's and outlive it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "host/gateway/ConnectionToken.hpp"
#include "host/gateway/Gateway.hpp"
#include "host/gateway/RequestCheck.hpp"

struct nghttp2_session;

namespace host::gateway {

class Http2Session {
 public:
  // What the connection's handshake settled.
  struct Peer {
    Authentication authentication = Authentication::none;
    std::string certificateTopic;  // with certificate authentication
  };

  // REQUIRES: `options` and `sink` outlive the session.
  Http2Session(const GatewayOptions& options, PushSink& sink, Peer peer);
  ~Http2Session();
  Http2Session(const Http2Session&) = delete;
  Http2Session& operator=(const Http2Session&) = delete;

  // Feeds bytes read from the peer. False when the connection is beyond saving (not HTTP/2,
  // a protocol error, a flood); closeReason() says why, and what is queued should still be
  // written (a GOAWAY).
  bool receive(const std::uint8_t* data, std::size_t length);
  // Appends what is ready to be written to `out`, while it holds less than `upTo` bytes.
  // False on a fatal error, as receive().
  bool produce(std::string& out, std::size_t upTo);

  // Neither side has anything more to say: the connection may close.
  bool finished() const;
  // The client's first frame (its SETTINGS) has arrived.
  bool sawFirstFrame() const { return sawFirstFrame_; }
  std::size_t answered() const { return answered_; }
  const std::string& closeReason() const { return closeReason_; }

  // The stop: GOAWAY with {"reason":"Shutdown"} after the last stream received, and 503
  // Shutdown for each stream received whose request is not complete.
  void stop();

  struct Stream;

 private:
  friend struct Http2Callbacks;

  void fail(std::string reason);
  void requestComplete(Stream& stream);
  void respond(Stream& stream);
  void answer(Stream& stream, const std::string& apnsId, const Answer& answer,
              const std::string& uniqueId);
  void noteReset();
  std::int64_t now() const;

  const GatewayOptions& options_;
  PushSink& sink_;
  const Peer peer_;
  ConnectionToken token_;
  nghttp2_session* session_ = nullptr;
  std::map<std::int32_t, std::unique_ptr<Stream>> streams_;
  bool sawFirstFrame_ = false;
  bool stopped_ = false;
  std::size_t answered_ = 0;
  std::string closeReason_;
  // A token bucket of stream resets the client may send (GatewayLimits::resetBurst).
  double resetAllowance_;
  std::chrono::steady_clock::time_point resetCounted_;
};

}  // namespace host::gateway
