// AttachmentVerdict: what the attachment structure tests share: the verdict on some bytes,
// read from memory and from a file through an odd small buffer, and the checks of a refusal.
// Plain functions for one test thread.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "UserNotifications/AttachmentType.hpp"
#include "UserNotifications/UNError.hpp"
#include "tests/support/TempDir.hpp"

namespace attachment_testing {

using Verdict = foundation::Result<user_notifications::AttachmentType>;

inline std::string says(const Verdict& v) { return v.ok() ? v->identifier : v.error().description; }

// The verdict on `bytes` read from memory and, through a buffer of an odd small size so that
// every structure straddles reads, from a file; the two must agree.
inline Verdict verdict(const testing_support::TempDir& dir, const std::string& bytes) {
  testing_support::writeFile(dir.file("under-test"), bytes);
  const int fd = open(dir.file("under-test").c_str(), O_RDONLY | O_CLOEXEC);
  Verdict fromFile = user_notifications::wholeAttachmentType(fd, bytes.size(), 7);
  close(fd);
  Verdict fromMemory = user_notifications::wholeAttachmentType(
      {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  EXPECT_EQ(says(fromFile), says(fromMemory));
  return fromMemory;
}

inline void expectRefused(const Verdict& result, long code, const std::string& reason) {
  ASSERT_FALSE(result.ok()) << "accepted as " << result->identifier;
  EXPECT_EQ(result.error().domain, UNErrorDomain);
  EXPECT_EQ(result.error().code, code);
  EXPECT_NE(result.error().description.find(reason), std::string::npos)
      << result.error().description;
}

// Runs the encoders' `commands` in `dir`; false when one failed.
inline bool encode(const testing_support::TempDir& dir, const std::string& commands) {
  const std::string line = "cd '" + dir.path() + "' && " + commands;
  return std::system(line.c_str()) == 0;
}

// A whole file of `type`, accepted as such alone and with bytes after it that decoders
// allow, and refused, with `truncated` in the reason, when cut in its header, in its middle
// (five ninths in, which is on no 2,048-byte pack boundary of a stream this short) and one
// byte short.
inline void expectWholeAndCutShort(const testing_support::TempDir& dir, const std::string& bytes,
                                   const char* type, const char* truncated,
                                   const std::string& after = std::string(100, '\0')) {
  ASSERT_GT(bytes.size(), 100u);
  const Verdict whole = verdict(dir, bytes);
  ASSERT_TRUE(whole.ok()) << whole.error().description;
  EXPECT_STREQ(whole->identifier, type);
  EXPECT_EQ(says(verdict(dir, bytes + after)), type) << "with bytes after its end";
  for (std::size_t keep : {std::size_t{20}, bytes.size() * 5 / 9, bytes.size() - 1}) {
    SCOPED_TRACE("cut to " + std::to_string(keep) + " bytes");
    expectRefused(verdict(dir, bytes.substr(0, keep)), UNErrorCodeAttachmentCorrupt, truncated);
  }
}

}  // namespace attachment_testing
