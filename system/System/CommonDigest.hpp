// CC_MD5: the system's MD5 digest (RFC 1321), computed with Nettle, whose digests are plain
// functions: OpenSSL's first digest looks up its provider's algorithms, close to a
// millisecond of every cold start. Stateless and thread-safe.
#pragma once

#include <cstdint>

#include "System/Export.hpp"

inline constexpr std::uint32_t CC_MD5_DIGEST_LENGTH = 16;

// Writes the 16-byte digest of `len` bytes at `data` into `md` and returns `md`.
// REQUIRES: `md` has room for CC_MD5_DIGEST_LENGTH bytes; `data` may be null when `len` is 0.
extern "C" SYSTEM_EXPORT unsigned char* CC_MD5(const void* data, std::uint32_t len,
                                               unsigned char* md) noexcept;
