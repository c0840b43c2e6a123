// CC_MD5: the system's MD5 digest (RFC 1321), computed with Nettle, whose digests are plain
// functions, where OpenSSL's first digest in a process looks up its provider's algorithms
// (docs/benchmarks.md, "The cold start, phase by phase"). Stateless and thread-safe.
#pragma once

#include <cstdint>

#include "System/Export.hpp"

inline constexpr std::uint32_t CC_MD5_DIGEST_LENGTH = 16;

// Writes the 16-byte digest of `len` bytes at `data` into `md` and returns `md`.
// REQUIRES: `md` has room for CC_MD5_DIGEST_LENGTH bytes; `data` may be null when `len` is 0.
extern "C" SYSTEM_EXPORT unsigned char* CC_MD5(const void* data, std::uint32_t len,
                                               unsigned char* md) noexcept;
