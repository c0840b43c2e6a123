#include "host/gateway/Uuid.hpp"

#include <openssl/rand.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace host::gateway {

namespace {

// Random bytes taken from OpenSSL a page at a time: each RAND_bytes call takes the generator's
// lock and asks the kernel for the process id (its check for a fork), which for two UUIDs a
// push was a fifth of the endpoint's time under h2load. The process never forks.
struct RandomBytes {
  unsigned char bytes[4096];
  std::size_t used = sizeof bytes;

  const unsigned char* take(std::size_t count) {
    if (used + count > sizeof bytes) {
      // Without randomness no identifier could be trusted to be unique; OpenSSL fails only
      // when the system has none to give.
      if (RAND_bytes(bytes, sizeof bytes) != 1) std::abort();
      used = 0;
    }
    used += count;
    return bytes + used - count;
  }
};

}  // namespace

std::string newUuid() {
  thread_local RandomBytes random;
  unsigned char bytes[16];
  std::memcpy(bytes, random.take(sizeof bytes), sizeof bytes);
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  static constexpr char kDigits[] = "0123456789abcdef";
  // Written into a buffer and copied once: a character at a time, each push's two ids cost
  // more than their random bytes.
  char text[36];
  char* at = text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *at++ = '-';
    *at++ = kDigits[bytes[i] >> 4];
    *at++ = kDigits[bytes[i] & 0xF];
  }
  return std::string(text, sizeof text);
}

}  // namespace host::gateway
