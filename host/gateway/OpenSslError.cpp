#include "host/gateway/OpenSslError.hpp"

#include <openssl/err.h>

namespace host::gateway {

NSError opensslError(const std::string& call) {
  const unsigned long first = ERR_peek_error();
  std::string description = call + ": ";
  if (first == 0) {
    description += "failed";
  } else {
    char text[256];
    ERR_error_string_n(first, text, sizeof text);
    description += text;
  }
  ERR_clear_error();
  return NSError{kOpenSslErrorDomain, static_cast<long>(first), std::move(description)};
}

void clearOpensslErrors() { ERR_clear_error(); }

}  // namespace host::gateway
