// ListenAddress: where the gateway listens, from the text of --listen: "[HOST:]PORT", HOST a
// numeric IPv4 address, an IPv6 address in brackets ("[::1]:2197") or "localhost"; without
// HOST, 127.0.0.1. Port 0 asks the kernel for a free port. Plain value; thread-safe.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "Foundation/NSError.hpp"

namespace host::gateway {

struct ListenAddress {
  sockaddr_storage address{};
  socklen_t length = 0;

  int family() const { return address.ss_family; }
  std::uint16_t port() const;
  // "127.0.0.1:2197", "[::1]:2197".
  std::string text() const;
};

// An error names the text and what is wrong with it.
foundation::Result<ListenAddress> parseListenAddress(std::string_view text);

// The address of a bound socket (getsockname), for the port the kernel picked.
foundation::Result<ListenAddress> boundAddress(int socket);

// Whether only this machine can reach the address: 127.0.0.0/8, ::1, or 127.x.x.x mapped into
// IPv6. Pushes without authentication are taken only there.
bool isLoopback(const ListenAddress& address);

}  // namespace host::gateway
