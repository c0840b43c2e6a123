#include "objc/runtime.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/Mutex.hpp"
#include "objc/ImageSections.hpp"
#include "objc/NSObject.hpp"

namespace {

// Classes seen so far, by name. Lookups that miss rescan the loaded images, so an image
// loaded later is found too.
struct ClassTable {
  base::Mutex mu;
  std::unordered_map<std::string_view, Class> byName GUARDED_BY(mu);
};

ClassTable& classTable() {
  static ClassTable* table = new ClassTable;  // never destroyed: lookups may run at exit
  return *table;
}

void collectClasses(const void* start, std::size_t size, void* context) {
  auto* found = static_cast<std::vector<Class>*>(context);
  const auto* entries = static_cast<const Class*>(start);
  for (std::size_t i = 0; i < size / sizeof(Class); ++i) {
    if (entries[i] != nullptr) found->push_back(entries[i]);
  }
}

}  // namespace

Class objc_getClass(std::string_view name) noexcept {
  ClassTable& table = classTable();
  {
    base::MutexLock lock(table.mu);
    auto it = table.byName.find(name);
    if (it != table.byName.end()) return it->second;
  }
  std::vector<Class> found;
  objc::forEachImageSection("objc_classlist", &collectClasses, &found);
  base::MutexLock lock(table.mu);
  for (Class cls : found) table.byName.emplace(cls->name, cls);
  auto it = table.byName.find(name);
  return it == table.byName.end() ? nullptr : it->second;
}

Class class_getSuperclass(Class cls) noexcept { return cls == nullptr ? nullptr : cls->superclass; }
const char* class_getName(Class cls) noexcept { return cls == nullptr ? "nil" : cls->name; }

bool objc::isSubclass(Class cls, Class ancestor) noexcept {
  for (; cls != nullptr; cls = cls->superclass) {
    if (cls == ancestor) return true;
  }
  return false;
}

std::span<const objc_method> objc::instanceMethods(Class cls) {
  if (cls == nullptr || cls->methods == nullptr) return {};
  return {cls->methods, cls->methodCount};
}

std::span<const objc_ivar> objc::ivars(Class cls) {
  if (cls == nullptr || cls->ivars == nullptr) return {};
  return {cls->ivars, cls->ivarCount};
}

std::span<const objc_method> objc::classMethods(Class cls) {
  if (cls == nullptr || cls->classMethods == nullptr) return {};
  return {cls->classMethods, cls->classMethodCount};
}

const objc_method* objc::ownMethod(Class cls, SEL sel) {
  for (const objc_method& m : objc::instanceMethods(cls)) {
    if (std::strcmp(m.name, sel) == 0) return &m;
  }
  return nullptr;
}

IMP class_getMethodImplementation(Class cls, SEL sel) noexcept {
  for (; cls != nullptr; cls = cls->superclass) {
    if (const objc_method* m = objc::ownMethod(cls, sel)) return m->imp;
  }
  return nullptr;
}

id class_createInstance(Class cls) noexcept {
  for (Class c = cls; c != nullptr; c = c->superclass) {
    if (c->create != nullptr) return c->create(cls);
  }
  return nullptr;
}

Class object_getClass(id obj) noexcept { return obj == nullptr ? nullptr : obj->isa(); }

void objc::doesNotRecognizeSelector(id receiver, SEL sel) noexcept {
  std::fprintf(stderr, "objc: -[%s %s]: unrecognized selector sent to instance %p\n",
               class_getName(object_getClass(receiver)), sel, static_cast<void*>(receiver));
  std::abort();
}

void object_dispose(id obj) noexcept {
  if (obj == nullptr) return;
  for (Class c = obj->isa(); c != nullptr; c = c->superclass) {
    if (const objc_method* m = objc::ownMethod(c, ".cxx_destruct")) {
      objc::impFunction<void>(m->imp)(obj, ".cxx_destruct");
    }
  }
  delete obj;
}
