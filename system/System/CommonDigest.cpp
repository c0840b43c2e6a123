#include "System/CommonDigest.hpp"

#include <nettle/md5.h>

unsigned char* CC_MD5(const void* data, std::uint32_t len, unsigned char* md) noexcept {
  md5_ctx ctx;
  md5_init(&ctx);
  if (len > 0) md5_update(&ctx, len, static_cast<const std::uint8_t*>(data));
  md5_digest(&ctx, CC_MD5_DIGEST_LENGTH, md);
  return md;
}
