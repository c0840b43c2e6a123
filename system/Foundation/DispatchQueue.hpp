// DispatchQueue: a serial queue of work items run one after another, in order, on one
// thread of the queue's own (started on the first item). Thread-safe. Destroying the
// queue runs what is queued, then joins the thread; an item must not destroy its own queue.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <string>
#include <thread>

#include "objc/Mutex.hpp"

class DispatchQueue {
 public:
  explicit DispatchQueue(std::string label);
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  void async(std::function<void()> work);
  // True on the queue's own thread.
  bool isCurrent() const;
  const std::string& label() const { return label_; }

 private:
  void run();

  const std::string label_;
  std::thread::id threadId_;  // written before any item runs; read by isCurrent on the thread

  objc::Mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> items_ GUARDED_BY(mu_);
  bool stopping_ GUARDED_BY(mu_) = false;
  bool started_ GUARDED_BY(mu_) = false;
  std::thread thread_;  // started under mu_, joined by the destructor
};
