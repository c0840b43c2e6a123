// Endpoint: the host as a local endpoint of the push service (--listen). open() makes the
// gateway's options from the command line and the state directory (the device token and the
// local authority kept there unless the command line names its own), checks the provider's
// key, and binds; announce() then says where it listens, once the socket is bound: the start
// line on standard error, which a script waits for, and the "listening" event in the log.
// run() serves until the stop.
//
// The host owns it for the run; the sink stays the caller's. Not thread-safe: open and
// announce on one thread, then run on one (the reader's).
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "Foundation/NSError.hpp"
#include "host/Options.hpp"
#include "host/gateway/Gateway.hpp"

namespace host {

// The topic of the app whose extension this is: its bundle identifier, the extension's
// without its last component.
std::string appTopic(const std::string& extensionBundleIdentifier);

class Endpoint {
 public:
  // Opens the gateway for `options` with its state in `stateDirectory` (made where missing),
  // for the app `topic`. An error names what could not be used: the provider's key or
  // authority, the server's certificate, the state directory, or the address.
  // REQUIRES: `sink` outlives the endpoint.
  static foundation::Result<std::unique_ptr<Endpoint>> open(const ListenOptions& options,
                                                            const std::string& stateDirectory,
                                                            const std::string& topic,
                                                            gateway::PushSink& sink);

  // "listening on 127.0.0.1:2197; device token ...; topic ...; authentication ...;
  // authority FILE": where it listens, the device, the topic, how pushes are authenticated and
  // the certificate a provider trusts.
  const std::string& startLine() const { return startLine_; }
  // Writes the start line on standard error and the "listening" event.
  void announce() const;
  // Serves until `stopFd` becomes readable, then stops in order (Gateway::run).
  void run(int stopFd) { gateway_->run(stopFd); }

 private:
  struct Said {
    std::string authentication;  // "none", "token", "certificate", "token or certificate"
    std::string authority;       // the local authority's file; "" with a certificate of one's own
  };
  Endpoint(std::unique_ptr<gateway::Gateway> gateway, std::string topic, Said said,
           std::string startLine)
      : gateway_(std::move(gateway)),
        topic_(std::move(topic)),
        said_(std::move(said)),
        startLine_(std::move(startLine)) {}

  std::unique_ptr<gateway::Gateway> gateway_;
  const std::string topic_;
  const Said said_;
  const std::string startLine_;
};

}  // namespace host
