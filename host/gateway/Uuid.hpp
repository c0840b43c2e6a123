// Random (version 4) UUIDs in lowercase, from OpenSSL's generator: the apns-id of a request
// that has none, and each apns-unique-id. Thread-safe: each thread keeps its own bytes.
#pragma once

#include <string>

namespace host::gateway {

std::string newUuid();

}  // namespace host::gateway
