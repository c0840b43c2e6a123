#include "System/CommonDigest.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// The raw digest in RFC 1321's byte order; the vectors themselves are checked with md5.
TEST(CommonDigest, DigestsExactlyTheGivenBytes) {
  struct Row {
    std::string input;
    std::uint32_t length;
    const char* digest;
  } const rows[] = {
      {"abcdef", 3, "900150983cd24fb0d6963f7d28e17f72"},  // "abc": only the length counts
      {std::string("\x00\xff", 2), 2, "d07d34efac6328007ad67c7e0a985e00"},  // a NUL is a byte
      {std::string(1000000, 'a'), 1000000, "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.length) + " bytes of " + row.input.substr(0, 8));
    unsigned char md[CC_MD5_DIGEST_LENGTH];
    EXPECT_EQ(CC_MD5(row.input.data(), row.length, md), md);
    std::string hex;
    for (unsigned char b : md) {
      hex += "0123456789abcdef"[b >> 4];
      hex += "0123456789abcdef"[b & 15];
    }
    EXPECT_EQ(hex, row.digest);
  }
}

}  // namespace
