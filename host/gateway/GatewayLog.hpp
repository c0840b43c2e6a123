// What the gateway writes to the system log (subsystem com.halvicourt.UserNotifications,
// category gateway):
//   info   "push"                each request answered: apnsId, status, reason (null for 200),
//                                pushType, topic (null when the request named none),
//                                authentication, ms (from its first header to its answer);
//                                under an activity described by the apns-id, which the sink
//                                runs under too, so that every event the push causes carries it
//   debug  "connection.opened"   peer
//          "connection.refused"  peer, reason (over the bound on connections)
//          "connection.closed"   peer, alpn, tls (the version), streams (answered on it), reason
// Thread-safe; costs one relaxed load per event while its level is off.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "System/os_activity.hpp"

namespace host::gateway {

// The activity a request with apns-id `apnsId` is checked, taken and logged under.
os_activity_t pushActivity(const std::string& apnsId);

struct PushRecord {
  std::string_view apnsId;
  int status = 0;
  std::string_view reason;  // "" for 200
  std::string_view pushType;
  const std::string* topic = nullptr;  // null: the request named none and none was implied
  std::string_view authentication;
  double ms = 0;
};
// REQUIRES: called inside the push's activity.
void logPush(const PushRecord& record);
// Whether logPush writes anything: a caller need not gather a record nobody reads.
bool pushEventsEnabled();

bool connectionEventsEnabled();
void logConnectionOpened(const std::string& peer);
void logConnectionRefused(const std::string& peer, std::string_view reason);
void logConnectionClosed(const std::string& peer, std::string_view alpn, std::string_view tls,
                         std::size_t streams, std::string_view reason);

}  // namespace host::gateway
