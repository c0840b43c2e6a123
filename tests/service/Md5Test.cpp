#include <gtest/gtest.h>

#include <string>

#include "service/NotificationServiceInternal.hpp"

namespace {

using notification_service_internal::md5;

TEST(Md5, Rfc1321SuiteAndUtf8TextAsLowercaseHex) {
  struct Row {
    const char* text;
    const char* digest;
  } const rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},  // digested, not the all-zero fallback
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},  // byte 1 is 0x01: its leading zero stays
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {"\u00e9", "66ddcd97cfdeabb2f6fb8a999b4bc76f"},  // the two bytes C3 A9, not one Latin-1 byte
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("md5 of \"") + row.text + "\"");
    EXPECT_EQ(md5(row.text), row.digest);
  }
}

TEST(Md5, TextWithoutUtf8FormGivesThirtyTwoZeros) {
  for (const char* row : {"\xff", "abc\xc3", "\xed\xa0\x80", "http://h/\x80pic.png"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(row)));
    EXPECT_EQ(md5(row), std::string(32, '0'));
  }
}

}  // namespace
