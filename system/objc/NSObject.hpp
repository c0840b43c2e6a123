// NSObject: the root of every platform object. It carries the class pointer (isa) and an
// atomic reference count that starts at one; the last release sends "dealloc", which
// destroys the object through the runtime. Retain and release are thread-safe; the rest
// of a subclass's state is guarded by that subclass.
#pragma once

#include <atomic>
#include <cstdint>

#include "objc/Export.hpp"
#include "objc/runtime.hpp"

// The root class's record. Records are named objc_class_<Class> so that a subclass in
// another image can name its superclass in constant data.
OBJC_EXPORT extern const objc_class objc_class_NSObject;

class OBJC_EXPORT NSObject {
 public:
  NSObject(const NSObject&) = delete;
  NSObject& operator=(const NSObject&) = delete;

  static Class classRecord() noexcept;

  Class isa() const noexcept { return isa_; }
  bool isKindOfClass(Class cls) const noexcept { return objc::isSubclass(isa_, cls); }

  void retain() noexcept;
  void release() noexcept;
  std::uint32_t retainCount() const noexcept { return refs_.load(std::memory_order_relaxed); }

 protected:
  explicit NSObject(Class cls) noexcept;
  // Virtual so that the runtime can destroy any object through its root.
  virtual ~NSObject();

 private:
  friend void object_dispose(id obj) noexcept;

  const Class isa_;
  std::atomic<std::uint32_t> refs_{1};
};
