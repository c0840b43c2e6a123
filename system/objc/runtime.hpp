// The object runtime: class records, class lookup by name, instance creation and message send.
//
// Class records are constant data that each image (the executable and every shared library)
// lists in its section "objc_classlist"; the runtime finds them on first lookup
// (objc/ImageSections.hpp), so nothing registers at load. Records are never freed; every
// function here is thread-safe.
//
// Names the platform's runtime has (objc_getClass, class_getSuperclass, objc_msgSend...) keep
// its spelling; the runtime's own helpers live in namespace objc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "objc/Export.hpp"

class NSObject;
using id = NSObject*;
// A selector is its name; the runtime compares selectors by text.
using SEL = const char*;
// An implementation is called with the receiver and the selector first, then the arguments.
// It is stored type-erased as the address of a constant holding the typed function pointer
// (OBJC_IMP), which, unlike a cast between function pointer types, is a constant expression,
// so class records stay constant data.
using IMP = const void*;

namespace objc {

template <auto F>
inline constexpr auto impStorage = F;

// The typed function that `imp` holds. REQUIRES: R(id, SEL, Args...) is the signature it was
// registered with.
template <class R, class... Args>
auto impFunction(IMP imp) {
  return *static_cast<R (*const*)(id, SEL, Args...)>(imp);
}

}  // namespace objc

#define OBJC_IMP(fn) static_cast<IMP>(&::objc::impStorage<&(fn)>)

struct objc_method {
  const char* name;
  const char* types;  // type encoding, e.g. "v16@0:8"
  IMP imp;
};

struct objc_ivar {
  const char* name;
  const char* type;
  std::size_t offset;
  std::size_t size;
};

struct objc_class {
  const objc_class* superclass;  // null for a root class
  const char* name;              // runtime name
  std::size_t instanceSize;
  const objc_method* methods;  // instance methods, in declaration order
  std::uint32_t methodCount;
  const objc_ivar* ivars;  // instance variables, in declaration order
  std::uint32_t ivarCount;
  const objc_method* classMethods;
  std::uint32_t classMethodCount;
  // Allocates and constructs an instance whose isa is the given class (which may be a subclass
  // record without a hook of its own); null for classes that cannot be instantiated by name.
  id (*create)(const objc_class* cls);
};
using Class = const objc_class*;

// Class lookup by runtime name; null when no loaded image lists it.
OBJC_EXPORT Class objc_getClass(std::string_view name) noexcept;

OBJC_EXPORT Class class_getSuperclass(Class cls) noexcept;
const char* class_getName(Class cls) noexcept;
// Looks `sel` up along the superclass chain starting at `cls`; null when nothing answers.
OBJC_EXPORT IMP class_getMethodImplementation(Class cls, SEL sel) noexcept;

// Creates an instance with a reference count of one through the class's hook (or the nearest
// superclass's); null when there is none. The instance still needs `init`.
OBJC_EXPORT id class_createInstance(Class cls) noexcept;
OBJC_EXPORT Class object_getClass(id obj) noexcept;

// Calls each class's ".cxx_destruct", most derived first, then destroys and frees the object.
// Called by NSObject's "dealloc" once the last reference is gone.
void object_dispose(id obj) noexcept;

namespace objc {

// The record of a class, built from its arrays so that no count can drift from its list.
// Leave out what the class does not add: without methods and instance variables it is only a
// name and a place in the hierarchy; without `create` its instances are made through the
// nearest superclass's hook, or only in C++.
constexpr objc_class makeClass(Class superclass, const char* name, std::size_t instanceSize,
                               std::span<const objc_method> methods = {},
                               std::span<const objc_ivar> ivars = {},
                               id (*create)(Class) = nullptr) {
  return objc_class{.superclass = superclass,
                    .name = name,
                    .instanceSize = instanceSize,
                    .methods = methods.data(),
                    .methodCount = static_cast<std::uint32_t>(methods.size()),
                    .ivars = ivars.data(),
                    .ivarCount = static_cast<std::uint32_t>(ivars.size()),
                    .classMethods = nullptr,
                    .classMethodCount = 0,
                    .create = create};
}

// Whether `cls` is `ancestor` or one of its subclasses.
OBJC_EXPORT bool isSubclass(Class cls, Class ancestor) noexcept;
// The class's own instance methods, instance variables and class methods, in declaration
// order (no superclass's).
std::span<const objc_method> instanceMethods(Class cls);
std::span<const objc_ivar> ivars(Class cls);
std::span<const objc_method> classMethods(Class cls);
// The class's own method named `sel` (no superclass search); null when absent.
const objc_method* ownMethod(Class cls, SEL sel);

// Reports a message that nothing answers and aborts: sending an unknown message is a
// programming error, as on the platform.
[[noreturn]] OBJC_EXPORT void doesNotRecognizeSelector(id receiver, SEL sel) noexcept;

}  // namespace objc

// Makes the image that expands it link this runtime, even under --as-needed: the runtime looks
// for records only in the images that link it (and in itself). Every record macro expands it.
#define OBJC_IMAGE_LINKS_RUNTIME(tag) \
  [[gnu::used]] constinit auto* const objc_runtime_reference_##tag = &objc_getClass

// Lists `cls` in the defining image's class list. Use once per class, at namespace scope, in
// the source file that defines the record.
#define OBJC_CLASSLIST_ENTRY(cls)                                                                  \
  [[gnu::used,                                                                                     \
    gnu::section(                                                                                  \
        "objc_classlist")]] constinit const objc_class* const objc_classlist_entry_##cls = &(cls); \
  OBJC_IMAGE_LINKS_RUNTIME(cls)

// Sends `sel` to `self` with `args`; a message to null does nothing and returns R{}.
template <class R, class... Args>
R objc_msgSend(id self, SEL sel, Args... args) {
  if (self == nullptr) return R();
  IMP imp = class_getMethodImplementation(object_getClass(self), sel);
  if (imp == nullptr) objc::doesNotRecognizeSelector(self, sel);
  return objc::impFunction<R, Args...>(imp)(self, sel, args...);
}

// Sends `sel` to `self` starting the lookup at the superclass of `currentClass`.
template <class R, class... Args>
R objc_msgSendSuper2(id self, Class currentClass, SEL sel, Args... args) {
  if (self == nullptr) return R();
  IMP imp = class_getMethodImplementation(class_getSuperclass(currentClass), sel);
  if (imp == nullptr) objc::doesNotRecognizeSelector(self, sel);
  return objc::impFunction<R, Args...>(imp)(self, sel, args...);
}
