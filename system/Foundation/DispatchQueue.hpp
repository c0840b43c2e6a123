// DispatchQueue: a serial queue of work items run one after another, in order, on one
// thread of the queue's own (started on the first item). Thread-safe. Destroying the
// queue runs what is queued, then joins the thread; an item must not destroy its own queue.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <string>
#include <thread>

#include "Foundation/Export.hpp"
#include "base/Mutex.hpp"

class DispatchQueue {
 public:
  explicit DispatchQueue(std::string label);
  // REQUIRES: not called from an item of this queue.
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  // Queues `work` behind everything queued before it. An item may queue further items,
  // also while the destructor drains the queue.
  // REQUIRES: the destructor has not returned.
  void async(std::function<void()> work) EXCLUDES(mu_);
  // True on the queue's own thread.
  bool isCurrent() const EXCLUDES(mu_);
  const std::string& label() const { return label_; }

 private:
  void run() EXCLUDES(mu_);

  const std::string label_;

  // Guards everything below except thread_, which only async (under mu_, once) and the
  // destructor touch.
  mutable base::Mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> items_ GUARDED_BY(mu_);
  std::thread::id threadId_ GUARDED_BY(mu_);
  bool stopping_ GUARDED_BY(mu_) = false;
  bool started_ GUARDED_BY(mu_) = false;
  std::thread thread_;  // started under mu_, joined by the destructor
};
