#include "System/CommonDigest.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string hex(const unsigned char* md) {
  std::string out;
  for (std::uint32_t i = 0; i < CC_MD5_DIGEST_LENGTH; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", md[i]);
    out += two;
  }
  return out;
}

std::string digestOf(const std::string& bytes) {
  unsigned char md[CC_MD5_DIGEST_LENGTH];
  EXPECT_EQ(CC_MD5(bytes.data(), static_cast<std::uint32_t>(bytes.size()), md), md);
  return hex(md);
}

// Raw digests over bytes, in RFC 1321's byte order; the text form is tested with md5.
TEST(CommonDigest, Rfc1321Vectors) {
  struct Row {
    std::string input;
    const char* digest;
  } const rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // Bytes that are not text, a NUL among them, are digested as they are.
      {std::string("\x00\xff", 2), "d07d34efac6328007ad67c7e0a985e00"},
      // A million bytes cross many 64-byte blocks.
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("input of " + std::to_string(row.input.size()) +
                 " bytes: " + row.input.substr(0, 20));
    EXPECT_EQ(digestOf(row.input), row.digest);
  }
}

TEST(CommonDigest, DigestsExactlyTheGivenLength) {
  const std::string text = "abcdef";
  unsigned char md[CC_MD5_DIGEST_LENGTH];
  CC_MD5(text.data(), 3, md);
  EXPECT_EQ(hex(md), "900150983cd24fb0d6963f7d28e17f72");
  // No bytes at all may come as a null pointer.
  CC_MD5(nullptr, 0, md);
  EXPECT_EQ(hex(md), "d41d8cd98f00b204e9800998ecf8427e");
}

}  // namespace
