#include "Foundation/CodeSignature.hpp"

#include <gtest/gtest.h>

namespace {

// Directories are named after the identifier: only reverse DNS may pass.
TEST(CodeSignature, ABundleIdentifierIsReverseDNS) {
  const struct {
    const char* identifier;
    bool valid;
  } rows[] = {
      {"com.halvicourt.app.HalvicourtNotificationService", true},
      {"com.example-app.X1", true},
      {"com", false},
      {"", false},
      {"com..app", false},
      {".com.app", false},
      {"com.app.", false},
      {"com.halvicourt/../../elsewhere", false},
      {"com.hal vicourt", false},
      {"com.h\xc3\xa4lvicourt", false},
      {"com.app_name", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(foundation::isBundleIdentifier(row.identifier), row.valid) << row.identifier;
  }
}

}  // namespace
