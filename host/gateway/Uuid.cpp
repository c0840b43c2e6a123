#include "host/gateway/Uuid.hpp"

#include <openssl/rand.h>

#include <cstdlib>

namespace host::gateway {

std::string newUuid() {
  unsigned char bytes[16];
  // Without randomness no identifier could be trusted to be unique; OpenSSL fails only when
  // the system has none to give.
  if (RAND_bytes(bytes, sizeof bytes) != 1) std::abort();
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0xF]);
  }
  return out;
}

}  // namespace host::gateway
