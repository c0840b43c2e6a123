// The tests' own main. libFoundation defines main as the extension runner's entry, so a
// main taken from an archive (gtest_main) would lose to it; an object file does not.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
