// The gateway's loop: our own epoll loop rather than libevent's. The gateway has three kinds
// of descriptor (the listener, the stop, its connections) and one kind of timer (each
// connection's one deadline, swept on each wake-up), which is a page of code; libevent would
// add a library and its own bufferevent layer over OpenSSL for no more than that, and the
// host's other loops are plain poll loops of their own too.
#include "host/gateway/Gateway.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>
#include <vector>

#include "Foundation/FileManager.hpp"
#include "base/FileDescriptor.hpp"
#include "host/gateway/Connection.hpp"
#include "host/gateway/GatewayLog.hpp"
#include "host/gateway/LocalAuthority.hpp"
#include "host/gateway/TlsContext.hpp"

namespace host::gateway {

namespace {

constexpr std::uint64_t kListenerKey = 0;
constexpr std::uint64_t kStopKey = 1;
constexpr int kBacklog = 128;
constexpr int kEventsPerWake = 64;

}  // namespace

class Gateway::Loop {
 public:
  Loop(GatewayOptions options, PushSink& sink, std::unique_ptr<TlsContext> tls,
       base::FileDescriptor listener, base::FileDescriptor epoll, ListenAddress bound)
      : options_(std::move(options)),
        sink_(sink),
        tls_(std::move(tls)),
        listener_(std::move(listener)),
        epoll_(std::move(epoll)),
        bound_(bound) {}

  const ListenAddress& address() const { return bound_; }
  const std::string& deviceToken() const { return options_.deviceToken; }

  void run(int stopFd) {
    watch(stopFd, kStopKey, EPOLLIN);
    watch(listener_.get(), kListenerKey, EPOLLIN);
    bool stopping = false;
    Connection::Clock::time_point drainEnd{};
    epoll_event events[kEventsPerWake];
    while (!stopping || !connections_.empty()) {
      const int ready = epoll_wait(epoll_.get(), events, kEventsPerWake, timeoutMs());
      if (ready < 0 && errno != EINTR) break;
      for (int i = 0; i < ready; ++i) {
        const std::uint64_t key = events[i].data.u64;
        if (key == kStopKey) {
          if (!stopping) stopping = beginStop(stopFd, drainEnd);
        } else if (key == kListenerKey) {
          if (!stopping) acceptAll();
        } else if (auto found = connections_.find(key); found != connections_.end()) {
          settle(found, found->second.connection->handle(events[i].events));
        }
      }
      const auto now = Connection::Clock::now();
      for (auto it = connections_.begin(); it != connections_.end();) {
        auto next = std::next(it);
        if (it->second.connection->deadline() <= now || (stopping && drainEnd <= now)) {
          settle(it, it->second.connection->expired());
        }
        it = next;
      }
      // The pushes of this turn start together: one wake-up of the host thread, not one each.
      sink_.turnEnded();
    }
  }

 private:
  struct Watched {
    std::unique_ptr<Connection> connection;
    std::uint32_t interest = 0;  // what epoll watches it for
  };
  using Connections = std::unordered_map<std::uint64_t, Watched>;

  void watch(int fd, std::uint64_t key, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event);
  }

  // Keeps the connection and brings its epoll interest up to date, or destroys it.
  void settle(Connections::iterator it, bool keep) {
    Watched& watched = it->second;
    if (!keep) {
      epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, watched.connection->fd(), nullptr);
      connections_.erase(it);
      return;
    }
    // Most turns leave it as it was: a system call saved for each.
    const std::uint32_t interest = watched.connection->interest();
    if (interest == watched.interest) return;
    epoll_event event{};
    event.events = interest;
    event.data.u64 = it->first;
    epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, watched.connection->fd(), &event);
    watched.interest = interest;
  }

  int timeoutMs() const {
    auto nearest = Connection::Clock::time_point::max();
    for (const auto& [key, watched] : connections_) {
      nearest = std::min(nearest, watched.connection->deadline());
    }
    if (nearest == Connection::Clock::time_point::max()) return -1;
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(nearest - Connection::Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 60'000));
  }

  void acceptAll() {
    for (;;) {
      sockaddr_storage from{};
      socklen_t length = sizeof from;
      base::FileDescriptor fd(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&from),
                                        &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (!fd.valid()) return;  // EAGAIN, or a connection the client gave up meanwhile
      ListenAddress peerAddress;
      peerAddress.address = from;
      peerAddress.length = length;
      const std::string peer = peerAddress.text();
      if (connections_.size() >= options_.limits.connections) {
        logConnectionRefused(
            peer,
            "over the bound of " + std::to_string(options_.limits.connections) + " connections");
        continue;
      }
      const int on = 1;
      ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      const std::uint64_t key = nextKey_++;
      auto connection = std::make_unique<Connection>(std::move(fd), peer, options_, sink_, *tls_);
      const std::uint32_t interest = connection->interest();
      watch(connection->fd(), key, interest);
      auto [it, added] = connections_.emplace(key, Watched{std::move(connection), interest});
      // A client that sent its hello with the connection is served now.
      settle(it, it->second.connection->handle(EPOLLIN));
    }
  }

  bool beginStop(int stopFd, Connection::Clock::time_point& drainEnd) {
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, stopFd, nullptr);
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listener_.get(), nullptr);
    listener_ = base::FileDescriptor();
    drainEnd = Connection::Clock::now() + options_.limits.stopDrain;
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      settle(it, it->second.connection->stop());
      it = next;
    }
    return true;
  }

  GatewayOptions options_;
  PushSink& sink_;
  std::unique_ptr<TlsContext> tls_;
  base::FileDescriptor listener_;
  base::FileDescriptor epoll_;
  ListenAddress bound_;
  Connections connections_;
  std::uint64_t nextKey_ = 2;
};

foundation::Result<std::string> useStateDirectory(GatewayOptions& options,
                                                  const std::string& stateDirectory) {
  if (foundation::Status made =
          FileManager::defaultManager().createDirectory(stateDirectory, true, 0700);
      !made.ok()) {
    return made.error();
  }
  if (options.deviceToken.empty()) {
    foundation::Result<std::string> token = deviceTokenIn(stateDirectory);
    if (!token.ok()) return token.error();
    options.deviceToken = *token;
  }
  if (!options.certificateChainFile.empty()) return std::string();
  foundation::Result<ServerIdentity> identity = localServerIdentity(stateDirectory);
  if (!identity.ok()) return identity.error();
  options.certificateChainFile = identity->certificateChainFile;
  options.privateKeyFile = identity->privateKeyFile;
  return identity->authorityFile;
}

foundation::Result<std::unique_ptr<Gateway>> Gateway::open(GatewayOptions options, PushSink& sink) {
  if (!options.providerToken && options.clientAuthorityFile.empty() &&
      !isLoopback(options.listen)) {
    return NSError{NSCocoaErrorDomain, 0,
                   "--listen " + options.listen.text() +
                       ": pushes without authentication are taken only on a loopback address"};
  }
  for (char& c : options.deviceToken) c = static_cast<char>(c >= 'A' && c <= 'F' ? c + 32 : c);
  if (options.deviceToken.empty() ||
      options.deviceToken.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return NSError{NSCocoaErrorDomain, 0,
                   "device token \"" + options.deviceToken + "\": not hex digits"};
  }
  if (options.topic.empty()) return NSError{NSCocoaErrorDomain, 0, "the app's topic is empty"};
  foundation::Result<std::unique_ptr<TlsContext>> tls = TlsContext::make(
      options.certificateChainFile, options.privateKeyFile, options.clientAuthorityFile);
  if (!tls.ok()) return tls.error();

  base::FileDescriptor listener(
      ::socket(options.listen.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener.valid()) return foundation::posixError("socket", errno);
  const int on = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (options.listen.family() == AF_INET6) {
    ::setsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&options.listen.address),
             options.listen.length) != 0) {
    return foundation::posixError("bind(" + options.listen.text() + ")", errno);
  }
  if (::listen(listener.get(), kBacklog) != 0) {
    return foundation::posixError("listen(" + options.listen.text() + ")", errno);
  }
  foundation::Result<ListenAddress> bound = boundAddress(listener.get());
  if (!bound.ok()) return bound.error();
  base::FileDescriptor epoll(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll.valid()) return foundation::posixError("epoll_create1", errno);
  auto loop = std::make_unique<Loop>(std::move(options), sink, std::move(*tls), std::move(listener),
                                     std::move(epoll), *bound);
  return std::unique_ptr<Gateway>(new Gateway(std::move(loop)));
}

Gateway::Gateway(std::unique_ptr<Loop> loop) : loop_(std::move(loop)) {}
Gateway::~Gateway() = default;

const ListenAddress& Gateway::address() const { return loop_->address(); }
const std::string& Gateway::deviceToken() const { return loop_->deviceToken(); }
void Gateway::run(int stopFd) {
  // A peer that goes away makes a write raise SIGPIPE, which would end the process: blocked on
  // this thread, it leaves the write failing with EPIPE, and the connection closes. What the
  // writes left pending is taken before the thread's mask is put back.
  sigset_t pipe;
  sigset_t before;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &before);
  loop_->run(stopFd);
  const timespec now{};
  while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace host::gateway
