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
  bool alwaysCurrent = true;
  {
    DispatchQueue queue("test.order");
    EXPECT_FALSE(queue.isCurrent());
    for (int i = 0; i < 100; ++i) {
      queue.async([&, i] {
        std::lock_guard<std::mutex> lock(mu);
        order.push_back(i);
        threads.push_back(std::this_thread::get_id());
        alwaysCurrent = alwaysCurrent && queue.isCurrent();
      });
    }
  }
  ASSERT_EQ(order.size(), 100u);
  for (std::size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(order[i], static_cast<int>(i));
    EXPECT_EQ(threads[i], threads[0]);
  }
  EXPECT_NE(threads[0], std::this_thread::get_id());
  EXPECT_TRUE(alwaysCurrent);
}

TEST(DispatchQueueTest, DestructorRunsWhatIsQueuedAndWhatItemsQueueMeanwhile) {
  std::promise<void> release;
  std::atomic<int> ran{0};
  {
    DispatchQueue queue("test.drain");
    // The first item holds the thread, so the rest are still queued when the queue goes.
    queue.async([gate = release.get_future().share()] { gate.wait(); });
    for (int i = 0; i < 50; ++i) queue.async([&ran] { ++ran; });
    queue.async([&] { queue.async([&] { ++ran; }); });
    release.set_value();
  }
  EXPECT_EQ(ran.load(), 51);
}

}  // namespace
