#include "objc/NSObject.hpp"

#include <cassert>
#include <cstdio>
#include <cstdlib>

namespace {

id NSObject_init(id self, SEL) { return self; }
void NSObject_dealloc(id self, SEL) { object_dispose(self); }

constinit const objc_method kNSObjectMethods[] = {
    {"init", "@16@0:8", OBJC_IMP(NSObject_init)},
    {"dealloc", "v16@0:8", OBJC_IMP(NSObject_dealloc)},
};

}  // namespace

constinit const objc_class objc_class_NSObject =
    objc::makeClass(nullptr, "NSObject", sizeof(NSObject), kNSObjectMethods);
OBJC_CLASSLIST_ENTRY(objc_class_NSObject);

Class NSObject::classRecord() noexcept { return &objc_class_NSObject; }

NSObject::NSObject(Class cls) noexcept : isa_(cls) {}
NSObject::~NSObject() = default;

void NSObject::retain() noexcept {
  std::uint32_t before = refs_.fetch_add(1, std::memory_order_relaxed);
  if (before == 0 || before == UINT32_MAX) {
    std::fprintf(stderr, "objc: retain of a %s with count %u\n", isa_->name, before);
    std::abort();
  }
}

void NSObject::release() noexcept {
  std::uint32_t before = refs_.fetch_sub(1, std::memory_order_acq_rel);
  if (before == 0) {
    std::fprintf(stderr, "objc: over-release of a %s\n", isa_->name);
    std::abort();
  }
  if (before == 1) objc_msgSend<void>(this, "dealloc");
}
