#include "host/gateway/Connection.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

#include "Foundation/NSError.hpp"
#include "host/gateway/GatewayLog.hpp"
#include "host/gateway/OpenSslError.hpp"

namespace host::gateway {

namespace {

constexpr std::size_t kReadChunk = 16 * 1024;
// What one wake-up reads from a connection before the loop turns to the others.
constexpr std::size_t kReadBudget = 256 * 1024;
constexpr std::size_t kWriteChunk = 64 * 1024;
// How long a closing connection waits for its peer's end, or to write its last frames.
constexpr std::chrono::seconds kLinger{2};

constexpr Connection::Clock::time_point kNever = Connection::Clock::time_point::max();

std::string sslReason(SSL* ssl, int result, const char* during) {
  const int error = SSL_get_error(ssl, result);
  if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)) {
    const int err = errno;
    clearOpensslErrors();
    if (error == SSL_ERROR_SYSCALL && err != 0 && result < 0) {
      return std::string(during) + ": " + foundation::errorString(err);
    }
    return std::string("the client closed the connection") +
           (std::string_view(during) == "TLS handshake" ? " during the TLS handshake" : "");
  }
  return opensslError(during).description;
}

}  // namespace

Connection::Connection(base::FileDescriptor socket, std::string peer, const GatewayOptions& options,
                       PushSink& sink, const TlsContext& tls)
    : socket_(std::move(socket)),
      peer_(std::move(peer)),
      options_(options),
      sink_(sink),
      deadline_(Clock::now() + options.limits.firstFrame) {
  ssl_ = tls.accept(socket_.get(), &alpnRefusal_);
  logConnectionOpened(peer_);
}

Connection::~Connection() {
  if (session_) answered_ = session_->answered();
  session_.reset();
  if (ssl_ != nullptr) SSL_free(ssl_);
  clearOpensslErrors();
  logConnectionClosed(peer_, facts_.alpn, facts_.version, answered_, closeReason_);
}

std::uint32_t Connection::interest() const {
  // Draining reads nothing more: waiting on input it would not read would spin.
  std::uint32_t events = phase_ == Phase::draining ? 0u : static_cast<std::uint32_t>(EPOLLIN);
  if (wantsWrite_ || !out_.empty()) events |= EPOLLOUT;
  return events;
}

bool Connection::close(std::string reason) {
  if (closeReason_.empty()) closeReason_ = std::move(reason);
  if (session_) answered_ = session_->answered();
  return false;
}

bool Connection::handle(std::uint32_t events) {
  if (phase_ == Phase::lingering) return linger();
  if (phase_ == Phase::handshake) return handshake();
  if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && phase_ == Phase::open && !readSome()) {
    return false;
  }
  return flush();
}

bool Connection::expired() {
  if (phase_ == Phase::handshake || (phase_ == Phase::open && !session_->sawFirstFrame())) {
    return close("no TLS handshake and first frame within " +
                 std::to_string(options_.limits.firstFrame.count()) + " ms");
  }
  if (phase_ == Phase::lingering) return close(closeReason_);
  if (stopped_) return close("the stop's time to write its answers ran out");
  return close("its last frames could not be written in time");
}

bool Connection::stop() {
  stopped_ = true;
  if (phase_ == Phase::handshake) return close("the gateway stopped");
  if (phase_ == Phase::lingering) return true;
  if (phase_ == Phase::open) {
    // Requests already in the socket were sent before the stop: they are received too.
    if (!readSome()) return false;
    if (phase_ == Phase::open) session_->stop();
  }
  deadline_ = std::min(deadline_, Clock::now() + options_.limits.stopDrain);
  return flush();
}

bool Connection::handshake() {
  if (ssl_ == nullptr) return close("SSL_new failed");
  const int result = SSL_do_handshake(ssl_);
  if (result != 1) {
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      wantsWrite_ = error == SSL_ERROR_WANT_WRITE;
      return true;
    }
    if (!alpnRefusal_.empty()) {
      clearOpensslErrors();
      return close("ALPN: the client offered " + alpnRefusal_ + ", not h2");
    }
    return close(sslReason(ssl_, result, "TLS handshake"));
  }
  wantsWrite_ = false;
  facts_ = handshakeFacts(ssl_);
  Http2Session::Peer peer;
  if (facts_.clientCertificate) {
    peer.authentication = Authentication::certificate;
    peer.certificateTopic = facts_.certificateTopic;
  } else if (options_.providerToken || !options_.clientAuthorityFile.empty()) {
    peer.authentication = Authentication::token;
  }
  session_ = std::make_unique<Http2Session>(options_, sink_, std::move(peer));
  phase_ = Phase::open;
  if (!readSome()) return false;
  return flush();
}

bool Connection::readSome() {
  std::uint8_t buffer[kReadChunk];
  for (std::size_t total = 0; total < kReadBudget;) {
    const int got = SSL_read(ssl_, buffer, sizeof buffer);
    if (got <= 0) {
      const int error = SSL_get_error(ssl_, got);
      if (error == SSL_ERROR_WANT_READ) return true;
      if (error == SSL_ERROR_WANT_WRITE) {
        wantsWrite_ = true;
        return true;
      }
      return close(sslReason(ssl_, got, "SSL_read"));
    }
    total += static_cast<std::size_t>(got);
    if (!session_->receive(buffer, static_cast<std::size_t>(got))) {
      // What it queued (a GOAWAY) still goes out, for a little while.
      phase_ = Phase::draining;
      deadline_ = std::min(deadline_, Clock::now() + kLinger);
      return true;
    }
    if (session_->sawFirstFrame() && !stopped_) deadline_ = kNever;
  }
  return true;
}

bool Connection::flush() {
  for (;;) {
    if (out_.empty() && !session_->produce(out_, kWriteChunk)) {
      return close(session_->closeReason());
    }
    if (out_.empty()) break;
    const int put = SSL_write(ssl_, out_.data(), static_cast<int>(out_.size()));
    if (put <= 0) {
      const int error = SSL_get_error(ssl_, put);
      if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
        wantsWrite_ = error == SSL_ERROR_WANT_WRITE;
        return true;
      }
      return close(sslReason(ssl_, put, "SSL_write"));
    }
    out_.erase(0, static_cast<std::size_t>(put));
  }
  wantsWrite_ = false;
  if (phase_ == Phase::draining || session_->finished()) {
    std::string reason = session_->closeReason();
    if (reason.empty())
      reason = stopped_ ? "the gateway stopped" : "the client closed the connection";
    closeReason_ = reason;
    answered_ = session_->answered();
    SSL_shutdown(ssl_);
    clearOpensslErrors();
    ::shutdown(socket_.get(), SHUT_WR);
    phase_ = Phase::lingering;
    deadline_ = std::min(deadline_, Clock::now() + kLinger);
    return linger();
  }
  return true;
}

bool Connection::linger() {
  char discard[kReadChunk];
  for (;;) {
    const ssize_t got = ::recv(socket_.get(), discard, sizeof discard, MSG_DONTWAIT);
    if (got > 0) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (got < 0 && errno == EINTR) continue;
    return close(closeReason_);
  }
}

}  // namespace host::gateway
