#include <gtest/gtest.h>

#include <string>

#include "System/CommonDigest.hpp"
#include "service/NotificationServiceInternal.hpp"

namespace {

using notification_service_internal::md5;

const std::string kZeros(32, '0');

TEST(Md5, Rfc1321SuiteAsLowercaseHex) {
  struct Row {
    const char* text;
    const char* digest;
  } const rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},  // digested, not the all-zero fallback
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},  // byte 1 is 0x01: its leading zero stays
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("md5 of \"") + row.text + "\"");
    EXPECT_EQ(md5(row.text), row.digest);
    EXPECT_EQ(md5(row.text), md5(row.text));  // nothing carries over between reads
  }
}

TEST(Md5, NonAsciiIsDigestedAsItsUtf8Bytes) {
  const unsigned char utf8[] = {0xC3, 0xA9};  // é
  unsigned char expected[CC_MD5_DIGEST_LENGTH];
  CC_MD5(utf8, sizeof utf8, expected);
  std::string hex;
  for (unsigned char b : expected) {
    static const char kDigits[] = "0123456789abcdef";
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  EXPECT_EQ(md5("\xC3\xA9"), hex);
  // An address with a non-ASCII path differs from its ASCII look-alike.
  EXPECT_NE(md5("http://h/caf\xC3\xA9.png"), md5("http://h/cafe.png"));
}

TEST(Md5, TextWithoutUtf8FormGivesThirtyTwoZeros) {
  const char* const rows[] = {
      "\xff",                  // never valid in UTF-8
      "abc\xc3",               // truncated sequence at the end
      "\xc0\xaf",              // overlong "/"
      "\xed\xa0\x80",          // a UTF-16 surrogate
      "\xf4\x90\x80\x80",      // above U+10FFFF
      "http://h/\x80pic.png",  // stray continuation byte inside an address
  };
  for (const char* row : rows) {
    SCOPED_TRACE(::testing::PrintToString(std::string(row)));
    EXPECT_EQ(md5(row), kZeros);
  }
}

TEST(Md5, AlwaysThirtyTwoLowercaseHexDigits) {
  std::string text;
  for (int i = 0; i < 300; ++i) {
    text += static_cast<char>('a' + i % 26);
    const std::string digest = md5(text);
    SCOPED_TRACE(text.size());
    ASSERT_EQ(digest.size(), 32u);
    EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos) << digest;
  }
}

}  // namespace
