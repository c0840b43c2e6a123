#include "host/Endpoint.hpp"

#include "System/os_log.hpp"

namespace host {

namespace {

// The "listening" event is the gateway's, beside its "push" and connection events.
os_log_t gatewayLog() {
  static const os_log_t log = os_log_create("com.halvicourt.UserNotifications", "gateway");
  return log;
}

}  // namespace

std::string appTopic(const std::string& extensionBundleIdentifier) {
  const std::size_t dot = extensionBundleIdentifier.rfind('.');
  return dot == std::string::npos ? extensionBundleIdentifier
                                  : extensionBundleIdentifier.substr(0, dot);
}

foundation::Result<std::unique_ptr<Endpoint>> Endpoint::open(const ListenOptions& options,
                                                             const std::string& stateDirectory,
                                                             const std::string& topic,
                                                             gateway::PushSink& sink) {
  gateway::GatewayOptions settings;
  foundation::Result<gateway::ListenAddress> address = gateway::parseListenAddress(options.address);
  if (!address.ok()) return address.error();
  settings.listen = *address;
  settings.deviceToken = options.deviceToken;
  settings.topic = topic;
  settings.certificateChainFile = options.certificateFile;
  settings.privateKeyFile = options.keyFile;
  settings.clientAuthorityFile = options.providerAuthorityFile;
  std::string tokenSaid;
  if (!options.providerKeyFile.empty()) {
    foundation::Result<gateway::ProviderTokenVerifier> verifier =
        gateway::ProviderTokenVerifier::fromFile(options.providerKeyFile, options.keyId,
                                                 options.teamId);
    if (!verifier.ok()) {
      return NSError{verifier.error().domain, verifier.error().code,
                     "--provider-key: " + verifier.error().description};
    }
    settings.providerToken = *std::move(verifier);
    tokenSaid = "token (key " + options.keyId + ", team " + options.teamId + ")";
  }
  const std::string certificateSaid =
      options.providerAuthorityFile.empty()
          ? ""
          : "certificate (client authority " + options.providerAuthorityFile + ")";
  foundation::Result<std::string> authority = gateway::useStateDirectory(settings, stateDirectory);
  if (!authority.ok()) {
    return NSError{authority.error().domain, authority.error().code,
                   "the state directory " + stateDirectory + ": " + authority.error().description};
  }
  foundation::Result<std::unique_ptr<gateway::Gateway>> opened =
      gateway::Gateway::open(std::move(settings), sink);
  if (!opened.ok()) return opened.error();
  const gateway::Gateway& bound = **opened;

  Said said{.authentication = !tokenSaid.empty() && !certificateSaid.empty()
                                  ? "token or certificate"
                              : !tokenSaid.empty()       ? "token"
                              : !certificateSaid.empty() ? "certificate"
                                                         : "none",
            .authority = *authority};
  const std::string authenticationSaid = said.authentication == "none" ? "none (loopback only)"
                                         : tokenSaid.empty()           ? certificateSaid
                                         : certificateSaid.empty()
                                             ? tokenSaid
                                             : tokenSaid + " or " + certificateSaid;
  std::string line =
      "listening on " + bound.address().text() + "; device token " + bound.deviceToken() +
      "; topic " + topic + "; authentication " + authenticationSaid + "; " +
      (said.authority.empty() ? "certificate " + options.certificateFile + " (--listen-certificate)"
                              : "authority " + said.authority);
  return std::unique_ptr<Endpoint>(
      new Endpoint(std::move(*opened), topic, std::move(said), std::move(line)));
}

void Endpoint::announce() const {
  // One write, so that it never lands inside an event's line, and at once: a script waits
  // for it to know the port.
  system_log::writeLine("HalvicourtNotificationService: " + startLine_);
  SYSTEM_LOG_EVENT(gatewayLog(), OS_LOG_TYPE_INFO, "listening",
                   {{"address", gateway_->address().text()},
                    {"port", static_cast<unsigned>(gateway_->address().port())},
                    {"deviceToken", gateway_->deviceToken()},
                    {"topic", topic_},
                    {"authentication", said_.authentication},
                    said_.authority.empty() ? system_log::Field("authority", nullptr)
                                            : system_log::Field("authority", said_.authority)});
}

}  // namespace host
