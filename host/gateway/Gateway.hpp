// Gateway: a local endpoint of the platform's push service. It serves the provider interface
// (HTTP/2 over TLS, one POST /3/device/<token> per push, the apns-* headers) for one device
// with one app installed, checks each request as the service does (RequestCheck), and hands
// the pushes that pass to the host's PushSink, whose answer it sends.
//
// One thread runs everything: run() is an epoll loop over non-blocking sockets. open() binds
// and listens, so the bound address is known (port 0 picks one) before run() starts; run()
// returns after the stop. A bad peer costs only its own connection or stream: connections,
// header lists and the time to a connection's first frame are bounded (GatewayLimits).
//
// The Gateway owns its sockets and TLS state; the sink stays the caller's. address() and
// deviceToken() may be read from any thread; run() is called once, from one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Foundation/NSError.hpp"
#include "host/gateway/ListenAddress.hpp"
#include "host/gateway/ProviderToken.hpp"
#include "host/gateway/PushSink.hpp"

namespace host::gateway {

struct GatewayLimits {
  // Connections open at once; one more is closed as soon as it is accepted.
  std::size_t connections = 256;
  // Streams a connection may have open: 1 until its first valid provider token (as the
  // service does), then this.
  std::uint32_t concurrentStreams = 100;
  // A request's header list, counted as HTTP/2 counts it (name, value and 32 bytes each),
  // and advertised in SETTINGS_MAX_HEADER_LIST_SIZE; a longer one resets its stream.
  std::size_t headerListBytes = 16 * 1024;
  // From the accept to the end of the TLS handshake and the client's first frame.
  std::chrono::milliseconds firstFrame{10'000};
  // Stream resets a connection may send in a burst (refilled at a tenth of it a second);
  // past that it is sent GOAWAY ENHANCE_YOUR_CALM and closed.
  std::uint32_t resetBurst = 1000;
  // How long the stop waits for its answers to be written and read before it closes.
  std::chrono::milliseconds stopDrain{5'000};
};

struct GatewayOptions {
  ListenAddress listen;
  std::string deviceToken;  // lowercase hex: the device the gateway stands for
  std::string
      topic;  // the app's topic: its extension's bundle identifier without its last component
  // The server's chain (leaf first) and key, PEM.
  std::string certificateChainFile;
  std::string privateKeyFile;
  // Token authentication, when set.
  std::optional<ProviderTokenVerifier> providerToken;
  // Certificate authentication, when set: the authority whose client certificates are taken.
  std::string clientAuthorityFile;
  GatewayLimits limits;
  // Seconds since the epoch, for the provider tokens' age; the system clock when empty.
  std::function<std::int64_t()> clock;
};

// Fills in what `options` leaves empty from the state directory `stateDirectory` (made where
// missing): the device token kept there, and the local authority's server certificate and
// key (LocalAuthority). Gives the authority's certificate file, which providers trust, or ""
// when the options named a server certificate of their own.
foundation::Result<std::string> useStateDirectory(GatewayOptions& options,
                                                  const std::string& stateDirectory);

class Gateway {
 public:
  // Binds and listens. An error when the certificate, key or client authority cannot be
  // used, the address cannot be bound, the device token is not hex or the topic is empty, or
  // no authentication is set up and the address is not a loopback one.
  // REQUIRES: `sink` outlives the Gateway.
  static foundation::Result<std::unique_ptr<Gateway>> open(GatewayOptions options, PushSink& sink);
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // The bound address, with the port the kernel picked for port 0.
  const ListenAddress& address() const;
  const std::string& deviceToken() const;

  // Serves until `stopFd` becomes readable (the host's StopSignal). Then the listening socket
  // is closed, every connection is sent GOAWAY with {"reason":"Shutdown"}, streams received
  // and not yet answered are answered 503 Shutdown, and run() returns once the answers are
  // written (or GatewayLimits::stopDrain has passed). Every push the sink took was answered
  // 200 before that.
  // REQUIRES: called once; `stopFd` stays open until it returns.
  void run(int stopFd);

 private:
  class Loop;
  explicit Gateway(std::unique_ptr<Loop> loop);
  std::unique_ptr<Loop> loop_;
};

}  // namespace host::gateway
