#include <gtest/gtest.h>

#include <string>

#include "service/NotificationServiceInternal.hpp"

namespace {

using notification_service::md5;

TEST(Md5, DigestsTheUtf8BytesAsLowercaseHex) {
  struct Row {
    const char* text;
    std::string digest;
  } const rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},        // digested, not the all-zero fallback
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},     // byte 1 is 0x01: its leading zero stays
      {"\u00e9", "66ddcd97cfdeabb2f6fb8a999b4bc76f"},  // the two bytes C3 A9, not one Latin-1 byte
      // Text without a UTF-8 form (dataUsingUTF8's table) has no digest.
      {"http://h/\x80pic.png", std::string(32, '0')},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(std::string(row.text)));
    EXPECT_EQ(md5(row.text), row.digest);
  }
}

}  // namespace
