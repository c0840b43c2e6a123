#include "Foundation/DispatchQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

TEST(DispatchQueueTest, RunsItemsInOrderOnOneThreadOfItsOwn) {
  std::mutex mu;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::vector<bool> current;
  {
    DispatchQueue queue("test.order");
    EXPECT_FALSE(queue.isCurrent());
    for (int i = 0; i < 100; ++i) {
      queue.async([&, i] {
        std::lock_guard<std::mutex> lock(mu);
        order.push_back(i);
        threads.push_back(std::this_thread::get_id());
        current.push_back(queue.isCurrent());
      });
    }
  }
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  for (std::size_t i = 0; i < threads.size(); ++i) {
    EXPECT_NE(threads[i], std::this_thread::get_id());
    EXPECT_EQ(threads[i], threads[0]);
    EXPECT_TRUE(current[i]);
  }
}

TEST(DispatchQueueTest, DestructorRunsWhatIsStillQueued) {
  std::promise<void> release;
  std::atomic<int> ran{0};
  {
    DispatchQueue queue("test.drain");
    std::shared_future<void> gate = release.get_future().share();
    // The first item holds the thread, so the rest are still queued when the queue goes.
    queue.async([gate] { gate.wait(); });
    for (int i = 0; i < 50; ++i) queue.async([&ran] { ++ran; });
    release.set_value();
  }
  EXPECT_EQ(ran.load(), 50);
}

TEST(DispatchQueueTest, ItemMayQueueMoreWorkWhileTheQueueDrains) {
  std::atomic<int> ran{0};
  {
    DispatchQueue queue("test.nested");
    queue.async([&] {
      ++ran;
      queue.async([&] {
        ++ran;
        queue.async([&] { ++ran; });
      });
    });
  }
  EXPECT_EQ(ran.load(), 3);
}

}  // namespace
