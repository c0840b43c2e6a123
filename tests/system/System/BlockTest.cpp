#include "System/Block.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// How often the callable of a block was made, copied, called and destroyed.
struct Tally {
  int constructed = 0;
  int destroyed = 0;
  int calls = 0;
  int live() const { return constructed - destroyed; }
};

// A callable that reports its copies and its destruction, and carries text long enough
// to live on the heap and short enough to live inside the object: a block copy that only
// moved its bytes would leave the short one pointing into the dead stack block.
struct Counted {
  Tally* tally;
  std::string shortText;
  std::string longText;

  Counted(Tally* t, std::string s, std::string l)
      : tally(t), shortText(std::move(s)), longText(std::move(l)) {
    ++tally->constructed;
  }
  Counted(const Counted& o) : tally(o.tally), shortText(o.shortText), longText(o.longText) {
    ++tally->constructed;
  }
  Counted& operator=(const Counted&) = delete;
  ~Counted() { ++tally->destroyed; }

  std::string operator()(int n) const {
    ++tally->calls;
    return shortText + std::to_string(n) + longText;
  }
};

const std::string kLong(200, 'L');

TEST(Block, HeapCopyOutlivesTheStackBlockAndOwnsOneCopy) {
  Tally tally;
  void* heap = nullptr;
  {
    auto stack = blocks::makeBlock<std::string(int)>(Counted(&tally, "s", kLong));
    const int beforeCopy = tally.constructed;
    EXPECT_EQ(blocks::invoke<std::string>(stack.get(), 1), "s1" + kLong);
    heap = _Block_copy(stack.get());
    ASSERT_NE(heap, nullptr);
    EXPECT_NE(heap, stack.get());
    EXPECT_EQ(tally.constructed, beforeCopy + 1);  // the copy helper ran exactly once
  }
  // Only the heap block's callable is left.
  EXPECT_EQ(tally.live(), 1);
  EXPECT_EQ(blocks::invoke<std::string>(heap, 7), "s7" + kLong);
  EXPECT_EQ(tally.calls, 2);
  _Block_release(heap);
  EXPECT_EQ(tally.live(), 0);
}

TEST(Block, CopiesOfAHeapBlockShareItUntilTheLastRelease) {
  Tally tally;
  void* heap = nullptr;
  {
    auto stack = blocks::makeBlock<std::string(int)>(Counted(&tally, "x", ""));
    heap = _Block_copy(stack.get());
  }
  const int constructed = tally.constructed;
  void* again = _Block_copy(heap);
  void* third = _Block_copy(heap);
  EXPECT_EQ(again, heap);
  EXPECT_EQ(third, heap);
  EXPECT_EQ(tally.constructed, constructed);  // sharing copies nothing

  _Block_release(third);
  _Block_release(again);
  EXPECT_EQ(tally.live(), 1);
  EXPECT_EQ(blocks::invoke<std::string>(heap, 3), "x3");
  _Block_release(heap);
  EXPECT_EQ(tally.live(), 0);
  EXPECT_EQ(tally.destroyed, tally.constructed);
}

TEST(Block, PassesPointerArgumentsThrough) {
  int target = 0;
  auto stack = blocks::makeBlock<void(int*, int)>([](int* p, int v) { *p = v; });
  void* heap = _Block_copy(stack.get());
  blocks::invoke<void, int*, int>(heap, &target, 42);
  _Block_release(heap);
  EXPECT_EQ(target, 42);
}

TEST(Block, SharedCaptureIsReleasedWithTheLastBlock) {
  auto owned = std::make_shared<int>(5);
  std::weak_ptr<int> watch = owned;
  void* heap = nullptr;
  {
    auto stack = blocks::makeBlock<int()>([owned = std::move(owned)] { return *owned; });
    heap = _Block_copy(stack.get());
  }
  EXPECT_EQ(blocks::invoke<int>(heap), 5);
  EXPECT_FALSE(watch.expired());
  _Block_release(heap);
  EXPECT_TRUE(watch.expired());
}

}  // namespace
