#include "Foundation/DispatchQueue.hpp"

#include <utility>

DispatchQueue::DispatchQueue(std::string label) : label_(std::move(label)) {}

DispatchQueue::~DispatchQueue() {
  {
    base::MutexLock lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  // thread_ was written by async under mu_, which this thread has taken since.
  if (thread_.joinable()) thread_.join();
}

void DispatchQueue::async(std::function<void()> work) {
  {
    base::MutexLock lock(mu_);
    items_.push_back(std::move(work));
    if (!started_) {
      // Started lazily so that a queue nobody uses costs no thread.
      started_ = true;
      thread_ = std::thread([this] { run(); });
      threadId_ = thread_.get_id();
    }
  }
  cv_.notify_one();
}

bool DispatchQueue::isCurrent() const {
  base::MutexLock lock(mu_);
  return started_ && threadId_ == std::this_thread::get_id();
}

void DispatchQueue::run() {
  for (;;) {
    std::function<void()> item;
    {
      base::MutexLock lock(mu_);
      while (items_.empty() && !stopping_) lock.wait(cv_);
      if (items_.empty()) return;
      item = std::move(items_.front());
      items_.pop_front();
    }
    // Runs without the lock so that the item may queue more work; its captures go with it
    // before the next item starts.
    item();
  }
}
