#include <gtest/gtest.h>

#include <string>

#include "service/NotificationServiceInternal.hpp"

namespace {

using notification_service_internal::md5;

TEST(Md5, DigestsTheUtf8BytesAsLowercaseHex) {
  struct Row {
    const char* text;
    const char* digest;
  } const rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},        // digested, not the all-zero fallback
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},     // byte 1 is 0x01: its leading zero stays
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
