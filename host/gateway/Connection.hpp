// Connection: one accepted client of the gateway, from its TLS handshake to its close: the
// socket, the TLS session over it and, once the handshake is done, the HTTP/2 session that
// speaks over that. It reads and writes only as far as the socket lets it (non-blocking),
// and tells the loop what to wait for and when its deadline is.
//
// Not thread-safe: owned by the gateway's loop, on its thread. Owns its socket and SSL.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "base/FileDescriptor.hpp"
#include "host/gateway/Gateway.hpp"
#include "host/gateway/Http2Session.hpp"
#include "host/gateway/TlsContext.hpp"

namespace host::gateway {

class Connection {
 public:
  using Clock = std::chrono::steady_clock;

  // REQUIRES: `options`, `sink` and `tls` outlive the connection.
  Connection(base::FileDescriptor socket, std::string peer, const GatewayOptions& options,
             PushSink& sink, const TlsContext& tls);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return socket_.get(); }
  // The epoll events to wait for now.
  std::uint32_t interest() const;
  // When the connection must be given up if it is still not past its current phase.
  Clock::time_point deadline() const { return deadline_; }

  // Handles what epoll reported. False when the connection is done and must be destroyed.
  bool handle(std::uint32_t events);
  // Its deadline passed. False when it must be destroyed (always, except at the stop).
  bool expired();
  // The stop: reads what has already arrived, then sends GOAWAY Shutdown and answers the
  // streams received. False when it must be destroyed (a connection still in its handshake).
  bool stop();

 private:
  enum class Phase { handshake, open, draining, lingering };

  bool handshake();
  bool readSome();
  bool flush();
  // The HTTP/2 session has said all it will: closes the TLS side, then waits for the peer's
  // end so that the last answers are not lost to a reset.
  bool linger();
  bool close(std::string reason);

  base::FileDescriptor socket_;
  const std::string peer_;
  const GatewayOptions& options_;
  PushSink& sink_;
  SSL* ssl_ = nullptr;
  std::unique_ptr<Http2Session> session_;
  Phase phase_ = Phase::handshake;
  Clock::time_point deadline_;
  std::string out_;  // bytes for SSL_write, kept whole across a retry
  bool wantsWrite_ = false;
  bool stopped_ = false;
  std::string alpnRefusal_;
  HandshakeFacts facts_;
  std::string closeReason_;
  std::size_t answered_ = 0;
};

}  // namespace host::gateway
