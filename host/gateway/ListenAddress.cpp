#include "host/gateway/ListenAddress.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace host::gateway {

namespace {

NSError bad(std::string_view text, const std::string& why) {
  return NSError{NSCocoaErrorDomain, 0,
                 "--listen " + std::string(text) + ": " + why + " (expected [HOST:]PORT)"};
}

}  // namespace

std::uint16_t ListenAddress::port() const {
  if (family() == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

std::string ListenAddress::text() const {
  char host[INET6_ADDRSTRLEN] = {};
  if (family() == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, host,
              sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(port());
  }
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(port());
}

foundation::Result<ListenAddress> parseListenAddress(std::string_view text) {
  std::string_view host = "127.0.0.1";
  std::string_view port = text;
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || text.substr(close + 1, 1) != ":") {
      return bad(text, "an IPv6 address in brackets is followed by :PORT");
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      return bad(text, "an IPv6 address goes in brackets");
    }
  }
  unsigned number = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (port.empty() || error != std::errc() || end != port.data() + port.size() || number > 65535) {
    return bad(text, "the port is not a number from 0 to 65535");
  }
  if (host == "localhost") host = "127.0.0.1";
  ListenAddress out;
  const std::string hostText(host);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out.address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.address);
  if (inet_pton(AF_INET, hostText.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(number));
    out.length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, hostText.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(number));
    out.length = sizeof(sockaddr_in6);
  } else {
    return bad(text, "the host is not a numeric address or localhost");
  }
  return out;
}

foundation::Result<ListenAddress> boundAddress(int socket) {
  ListenAddress out;
  out.length = sizeof out.address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&out.address), &out.length) != 0) {
    return foundation::posixError("getsockname", errno);
  }
  return out;
}

bool isLoopback(const ListenAddress& address) {
  if (address.family() == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address.address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (address.family() == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&address.address)->sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
  }
  return false;
}

}  // namespace host::gateway
