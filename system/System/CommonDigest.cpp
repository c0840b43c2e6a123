#include "System/CommonDigest.hpp"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

unsigned char* CC_MD5(const void* data, std::uint32_t len, unsigned char* md) {
  unsigned int outLen = 0;
  static const unsigned char kEmpty = 0;
  if (data == nullptr) data = &kEmpty;
  // EVP_Digest fails only when OpenSSL cannot allocate or has no MD5; the platform call
  // cannot report failure, so that is fatal rather than a silently wrong name.
  if (EVP_Digest(data, len, md, &outLen, EVP_md5(), nullptr) != 1 ||
      outLen != CC_MD5_DIGEST_LENGTH) {
    std::fputs("CC_MD5: EVP_Digest failed\n", stderr);
    std::abort();
  }
  return md;
}
