// Strong<T>: an owning reference to a platform object. Copying retains, destroying
// releases, assigning releases the old value; a null Strong is the absent value.
// A Strong itself is not thread-safe (like a std::shared_ptr instance); the counts it
// changes are.
#pragma once

#include <cstddef>
#include <utility>

#include "objc/NSObject.hpp"

namespace objc {

template <class T>
class Strong {
 public:
  constexpr Strong() noexcept = default;
  constexpr Strong(std::nullptr_t) noexcept {}  // NOLINT(google-explicit-constructor)

  // Takes over a reference the caller already owns (a fresh object, for instance).
  static Strong adopt(T* p) noexcept {
    Strong s;
    s.p_ = p;
    return s;
  }
  // Takes a further reference.
  static Strong retain(T* p) noexcept {
    if (p != nullptr) p->retain();
    return adopt(p);
  }

  Strong(const Strong& o) noexcept : p_(o.p_) {
    if (p_ != nullptr) p_->retain();
  }
  Strong(Strong&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  Strong(const Strong<U>& o) noexcept : p_(o.get()) {  // NOLINT(google-explicit-constructor)
    if (p_ != nullptr) p_->retain();
  }
  template <class U>
  Strong(Strong<U>&& o) noexcept : p_(o.leak()) {}  // NOLINT(google-explicit-constructor)

  Strong& operator=(Strong o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Strong() {
    if (p_ != nullptr) p_->release();
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives up ownership without releasing; the caller now owns the reference.
  [[nodiscard]] T* leak() noexcept { return std::exchange(p_, nullptr); }

  friend bool operator==(const Strong& a, const Strong& b) { return a.p_ == b.p_; }
  friend bool operator==(const Strong& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

template <class T, class... Args>
Strong<T> makeStrong(Args&&... args) {
  return Strong<T>::adopt(new T(std::forward<Args>(args)...));
}

// The object as a T when it is of T's class or a subclass; absent otherwise.
template <class T>
Strong<T> dynamicCast(const Strong<NSObject>& obj) {
  if (!obj || !obj->isKindOfClass(T::classRecord())) return nullptr;
  return Strong<T>::retain(static_cast<T*>(obj.get()));
}

}  // namespace objc
