#include "System/Block.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// The token's use count is the number of live copies of the callable.
TEST(Block, HeapCopyOwnsOneCopyOfTheCallableUntilTheLastRelease) {
  auto token = std::make_shared<int>(0);
  void* heap = nullptr;
  {
    // The short text lives inside the callable: a copy that only moved its bytes would
    // leave it pointing into the dead stack block.
    auto stack = blocks::makeBlock<std::string(int)>(
        [token, text = std::string("s")](int n) { return text + std::to_string(n); });
    EXPECT_EQ(blocks::invoke<std::string>(stack.get(), 1), "s1");
    heap = _Block_copy(stack.get());
    ASSERT_NE(heap, stack.get());
    EXPECT_EQ(token.use_count(), 3);  // the copy helper ran exactly once
  }
  EXPECT_EQ(token.use_count(), 2);
  EXPECT_EQ(_Block_copy(heap), heap);  // a heap block is shared, not copied again
  _Block_release(heap);
  EXPECT_EQ(blocks::invoke<std::string>(heap, 7), "s7");
  EXPECT_EQ(token.use_count(), 2);
  _Block_release(heap);
  EXPECT_EQ(token.use_count(), 1);
}

}  // namespace
