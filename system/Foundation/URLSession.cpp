#include "Foundation/URLSession.hpp"

#include <utility>

#include "Foundation/CurlError.hpp"
#include "Foundation/URLSessionEngine.hpp"

namespace foundation {

// Holds back what a transfer hands on while the resume() that started it is still under
// way, so that its completion cannot run before resume() has returned. Thread-safe.
class ResumeGate {
 public:
  // Runs `post` now when the gate is open, otherwise when it opens.
  void pass(std::function<void()> post) EXCLUDES(mu_) {
    {
      base::MutexLock lock(mu_);
      if (!open_) {
        held_ = std::move(post);
        return;
      }
    }
    post();
  }
  void open() EXCLUDES(mu_) {
    std::function<void()> held;
    {
      base::MutexLock lock(mu_);
      open_ = true;
      held = std::move(held_);
    }
    if (held) held();
  }

 private:
  base::Mutex mu_;
  bool open_ GUARDED_BY(mu_) = false;
  std::function<void()> held_ GUARDED_BY(mu_);  // a task completes once, so one at most
};

}  // namespace foundation

// ---- URLSessionDataTask ----------------------------------------------------------------

namespace {

void URLSessionDataTask_resume(id self, SEL) { static_cast<URLSessionDataTask*>(self)->resume(); }

constinit const objc_method kURLSessionDataTaskMethods[] = {
    {"resume", "v16@0:8", OBJC_IMP(URLSessionDataTask_resume)},
};

}  // namespace

constinit const objc_class objc_class_NSURLSessionDataTask =
    objc::makeClass(&objc_class_NSObject, "NSURLSessionDataTask", sizeof(URLSessionDataTask),
                    kURLSessionDataTaskMethods);
OBJC_CLASSLIST_ENTRY(objc_class_NSURLSessionDataTask);

Class URLSessionDataTask::classRecord() { return &objc_class_NSURLSessionDataTask; }

URLSessionDataTask::URLSessionDataTask(URLSession* session, const URL& url,
                                       URLSessionCompletionHandler completion)
    : NSObject(&objc_class_NSURLSessionDataTask),
      session_(session),
      url_(url),
      activity_(system_log::currentActivity()),
      completion_(std::move(completion)) {}

void URLSessionDataTask::resume() noexcept {
  URLSessionCompletionHandler completion;
  {
    base::MutexLock lock(mu_);
    if (resumed_) return;
    resumed_ = true;
    completion = std::move(completion_);
  }
  // The caller is still inside this call (the platform thread inside its request message)
  // when an address is refused at once or a transfer fails quickly; its completion waits.
  auto gate = std::make_shared<foundation::ResumeGate>();
  system_log::addTransfer(activity_);
  session_->start(url_, foundation::Delivery{std::move(completion), gate, activity_});
  gate->open();
}

// ---- URLSession ------------------------------------------------------------------------

URLSession& URLSession::sharedSession() noexcept {
  // Never destroyed: completions may still be running on its queue at process exit.
  static URLSession* const shared = new URLSession(URLSessionConfiguration::defaultConfiguration());
  return *shared;
}

URLSession::URLSession(URLSessionConfiguration configuration)
    : configuration_(configuration),
      engine_(std::make_unique<foundation::URLSessionEngine>(
          configuration_,
          [this](foundation::Delivery delivery, std::optional<Data> body,
                 std::optional<HTTPURLResponse> response, std::optional<NSError> error) {
            complete(std::move(delivery), std::move(body), std::move(response), std::move(error));
          })),
      callbackQueue_(std::make_unique<DispatchQueue>("URLSession.callbacks")) {}

URLSession::~URLSession() {
  invalidateAndCancel();
  // Completions of tasks started after the invalidation may still be running.
  for (;;) {
    std::vector<std::thread> threads;
    {
      base::MutexLock lock(mu_);
      threads.swap(lateThreads_);
    }
    if (threads.empty()) break;
    for (std::thread& thread : threads) thread.join();
  }
  std::unique_ptr<DispatchQueue> queue;
  {
    base::MutexLock lock(mu_);
    queue = std::move(callbackQueue_);
  }
  queue.reset();
}

objc::Strong<URLSessionDataTask> URLSession::dataTask(
    const URL& url, URLSessionCompletionHandler completion) noexcept {
  return objc::Strong<URLSessionDataTask>::adopt(
      new URLSessionDataTask(this, url, std::move(completion)));
}

void URLSession::start(const URL& url, foundation::Delivery delivery) {
  {
    base::MutexLock lock(mu_);
    ++outstanding_;
  }
  const std::string scheme = url.scheme();
  // Decided here so that no other scheme ever reaches libcurl, nor an address without a
  // host, which libcurl would take from the path ("http:///h/x").
  if ((scheme != "http" && scheme != "https") || url.host().empty()) {
    NSError error{NSURLErrorDomain, NSURLErrorUnsupportedURL,
                  "unsupported URL \"" + foundation::redactedURL(url.absoluteString()) +
                      "\": only absolute http and https addresses with a host are fetched"};
    foundation::logTransferNotRun(delivery.activity, url.absoluteString(), delivery.started,
                                  error.description);
    complete(std::move(delivery), std::nullopt, std::nullopt, std::move(error));
    return;
  }
  engine_->submit(url.absoluteString(), std::move(delivery));
  // The callback queue starts its thread on first use. Started now, once the network thread
  // has its first transfer, it is ready when the body arrives instead of being started on
  // its path, and the transfer does not wait for it.
  base::MutexLock lock(mu_);
  if (!callbackQueueStarted_ && callbackQueue_ != nullptr) {
    callbackQueueStarted_ = true;
    callbackQueue_->async([] {});
  }
}

void URLSession::complete(foundation::Delivery delivery, std::optional<Data> body,
                          std::optional<HTTPURLResponse> response, std::optional<NSError> error) {
  auto work = [this, activity = std::move(delivery.activity),
               completion = std::move(delivery.completion), body = std::move(body),
               response = std::move(response), error = std::move(error)]() mutable {
    runCompletion(activity, completion, std::move(body), std::move(response), std::move(error));
  };
  auto post = [this, work = std::move(work)]() mutable {
    base::MutexLock lock(mu_);
    if (callbackQueue_ != nullptr) {
      callbackQueue_->async(std::move(work));
    } else {
      lateThreads_.emplace_back(std::move(work));
    }
  };
  delivery.gate->pass(std::move(post));
}

void URLSession::runCompletion(const os_activity_t& activity,
                               URLSessionCompletionHandler& completion, std::optional<Data> body,
                               std::optional<HTTPURLResponse> response,
                               std::optional<NSError> error) {
  URLSessionCompletionHandler fn = std::move(completion);
  if (fn) {
    system_log::ActivityScope scope(activity);
    fn(std::move(body), std::move(response), std::move(error));
  }
  // What the completion captured goes before the transfer counts as done, so that an idle
  // session holds nothing of its callers.
  fn = nullptr;
  base::MutexLock lock(mu_);
  --outstanding_;
  if (outstanding_ == 0) idle_.notify_all();
}

std::size_t URLSession::outstandingTasks() const {
  base::MutexLock lock(mu_);
  return outstanding_;
}

bool URLSession::waitUntilIdle(std::chrono::steady_clock::time_point deadline) const noexcept {
  base::MutexLock lock(mu_);
  while (outstanding_ != 0) {
    if (!lock.waitUntil(idle_, deadline)) return outstanding_ == 0;
  }
  return true;
}

void URLSession::invalidateAndCancel() noexcept {
  // The network thread hands every cancelled transfer to the callback queue before it ends.
  engine_->stop();
  std::unique_ptr<DispatchQueue> queue;
  {
    base::MutexLock lock(mu_);
    // A completion that invalidates its own session cannot drain the queue it runs on.
    if (callbackQueue_ != nullptr && !callbackQueue_->isCurrent()) {
      queue = std::move(callbackQueue_);
    }
  }
  queue.reset();  // runs what is queued, then joins the queue's thread
}
