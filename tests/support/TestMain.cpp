// The tests' own main. libFoundation defines main as the extension runner's entry, so a
// main taken from an archive (gtest_main) would lose to it; an object file does not.
#include <gtest/gtest.h>

// libcpp-httplib is not built with ThreadSanitizer, which then misses how its worker threads
// synchronise (function-local statics first used by two connections at once): its reports
// are about the test server, not the code under test.
extern "C" const char* __tsan_default_suppressions() { return "race:libcpp-httplib.so\n"; }

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
