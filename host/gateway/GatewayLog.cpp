#include "host/gateway/GatewayLog.hpp"

#include "System/os_log.hpp"

namespace host::gateway {

namespace {

os_log_t gatewayLog() {
  static const os_log_t log = os_log_create("com.halvicourt.UserNotifications", "gateway");
  return log;
}

system_log::Field textOrNull(std::string_view key, std::string_view text) {
  return text.empty() ? system_log::Field(key, nullptr) : system_log::Field(key, text);
}

}  // namespace

os_activity_t pushActivity(const std::string& apnsId) {
  return os_activity_create(apnsId.c_str(), OS_ACTIVITY_NONE, OS_ACTIVITY_FLAG_DETACHED);
}

void logPush(const PushRecord& record) {
  SYSTEM_LOG_EVENT(gatewayLog(), OS_LOG_TYPE_INFO, "push",
                   {{"apnsId", record.apnsId},
                    {"status", record.status},
                    textOrNull("reason", record.reason),
                    {"pushType", record.pushType},
                    record.topic != nullptr ? system_log::Field("topic", *record.topic)
                                            : system_log::Field("topic", nullptr),
                    {"authentication", record.authentication},
                    {"ms", record.ms}});
}

bool pushEventsEnabled() { return os_log_type_enabled(gatewayLog(), OS_LOG_TYPE_INFO); }

bool connectionEventsEnabled() { return os_log_type_enabled(gatewayLog(), OS_LOG_TYPE_DEBUG); }

void logConnectionOpened(const std::string& peer) {
  SYSTEM_LOG_EVENT(gatewayLog(), OS_LOG_TYPE_DEBUG, "connection.opened", {{"peer", peer}});
}

void logConnectionRefused(const std::string& peer, std::string_view reason) {
  SYSTEM_LOG_EVENT(gatewayLog(), OS_LOG_TYPE_DEBUG, "connection.refused",
                   {{"peer", peer}, {"reason", reason}});
}

void logConnectionClosed(const std::string& peer, std::string_view alpn, std::string_view tls,
                         std::size_t streams, std::string_view reason) {
  SYSTEM_LOG_EVENT(gatewayLog(), OS_LOG_TYPE_DEBUG, "connection.closed",
                   {{"peer", peer},
                    textOrNull("alpn", alpn),
                    textOrNull("tls", tls),
                    {"streams", streams},
                    {"reason", reason}});
}

}  // namespace host::gateway
