#include "objc/runtime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "objc/NSObject.hpp"
#include "objc/Strong.hpp"

// A small hierarchy of this image's own: RuntimeTestBase <- RuntimeTestDerived <-
// RuntimeTestLeaf. Leaf has no creation hook and no methods of its own, so it is made
// through Derived's hook and answers only what it inherits.

namespace {

// What the destroyers did, in order; reset by each test that reads it.
std::mutex logMutex;
std::vector<std::string> destructionLog;

void logDestruction(const char* what) {
  std::lock_guard<std::mutex> lock(logMutex);
  destructionLog.emplace_back(what);
}

std::vector<std::string> takeDestructionLog() {
  std::lock_guard<std::mutex> lock(logMutex);
  return std::exchange(destructionLog, {});
}

}  // namespace

extern const objc_class objc_class_RuntimeTestBase;
extern const objc_class objc_class_RuntimeTestDerived;
extern const objc_class objc_class_RuntimeTestLeaf;

class RuntimeTestBase : public NSObject {
 public:
  static Class classRecord() { return &objc_class_RuntimeTestBase; }
  explicit RuntimeTestBase(Class cls) : NSObject(cls) {}
  int value = 40;

 protected:
  ~RuntimeTestBase() override { logDestruction("~RuntimeTestBase"); }
};

class RuntimeTestDerived : public RuntimeTestBase {
 public:
  static Class classRecord() { return &objc_class_RuntimeTestDerived; }
  explicit RuntimeTestDerived(Class cls) : RuntimeTestBase(cls) {}
};

namespace {

id createBase(Class cls) { return new RuntimeTestBase(cls); }
id createDerived(Class cls) { return new RuntimeTestDerived(cls); }

const char* Base_name(id, SEL) { return "base"; }
const char* Derived_name(id, SEL) { return "derived"; }
// Only the base answers this one, so a derived receiver finds it up the chain.
int Base_sumWith(id self, SEL, int a, long b) {
  return static_cast<RuntimeTestBase*>(self)->value + a + static_cast<int>(b);
}
void Base_cxxDestruct(id, SEL) { logDestruction("RuntimeTestBase.cxx_destruct"); }
void Derived_cxxDestruct(id, SEL) { logDestruction("RuntimeTestDerived.cxx_destruct"); }

constinit const objc_method kBaseMethods[] = {
    {"name", "*16@0:8", OBJC_IMP(Base_name)},
    {"sum:with:", "i28@0:8i16q20", OBJC_IMP(Base_sumWith)},
    {".cxx_destruct", "v16@0:8", OBJC_IMP(Base_cxxDestruct)},
};
constinit const objc_method kDerivedMethods[] = {
    {".cxx_destruct", "v16@0:8", OBJC_IMP(Derived_cxxDestruct)},
    {"name", "*16@0:8", OBJC_IMP(Derived_name)},
};

}  // namespace

constinit const objc_class objc_class_RuntimeTestBase = {
    .superclass = &objc_class_NSObject,
    .name = "RuntimeTestBase",
    .instanceSize = sizeof(RuntimeTestBase),
    .methods = kBaseMethods,
    .methodCount = 3,
    .ivars = nullptr,
    .ivarCount = 0,
    .classMethods = nullptr,
    .classMethodCount = 0,
    .create = &createBase,
};
OBJC_CLASSLIST_ENTRY(objc_class_RuntimeTestBase);

constinit const objc_class objc_class_RuntimeTestDerived = {
    .superclass = &objc_class_RuntimeTestBase,
    .name = "RuntimeTestDerived",
    .instanceSize = sizeof(RuntimeTestDerived),
    .methods = kDerivedMethods,
    .methodCount = 2,
    .ivars = nullptr,
    .ivarCount = 0,
    .classMethods = nullptr,
    .classMethodCount = 0,
    .create = &createDerived,
};
OBJC_CLASSLIST_ENTRY(objc_class_RuntimeTestDerived);

constinit const objc_class objc_class_RuntimeTestLeaf = {
    .superclass = &objc_class_RuntimeTestDerived,
    .name = "RuntimeTestLeaf",
    .instanceSize = sizeof(RuntimeTestDerived),
    .methods = nullptr,
    .methodCount = 0,
    .ivars = nullptr,
    .ivarCount = 0,
    .classMethods = nullptr,
    .classMethodCount = 0,
    .create = nullptr,
};
OBJC_CLASSLIST_ENTRY(objc_class_RuntimeTestLeaf);

namespace {

Strong<NSObject> create(Class cls) { return Strong<NSObject>::adopt(class_createInstance(cls)); }

TEST(RuntimeLookup, FindsRecordsOfTheLibraryAndOfTheExecutable) {
  EXPECT_EQ(objc_getClass("NSObject"), &objc_class_NSObject);  // listed by libobjc
  EXPECT_EQ(objc_getClass("RuntimeTestBase"), &objc_class_RuntimeTestBase);
  EXPECT_EQ(objc_getClass("RuntimeTestLeaf"), &objc_class_RuntimeTestLeaf);
  EXPECT_EQ(objc_getClass("RuntimeTestNoSuchClass"), nullptr);
  EXPECT_EQ(objc_getClass(""), nullptr);
  // A prefix of a listed name is a different name.
  EXPECT_EQ(objc_getClass("RuntimeTest"), nullptr);
}

TEST(RuntimeLookup, ConcurrentLookupsAgree) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        if (objc_getClass("RuntimeTestDerived") != &objc_class_RuntimeTestDerived) ++wrong;
        if (objc_getClass("RuntimeTestMissing") != nullptr) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(RuntimeMessages, LookupWalksTheSuperclassChain) {
  Strong<NSObject> leaf = create(&objc_class_RuntimeTestLeaf);
  ASSERT_TRUE(leaf);
  // Leaf inherits Derived's override, not Base's original.
  EXPECT_STREQ(objc_msgSend<const char*>(leaf.get(), "name"), "derived");
  // Arguments reach the implementation after the receiver and the selector.
  EXPECT_EQ((objc_msgSend<int, int, long>(leaf.get(), "sum:with:", 1, 1L)), 42);
  // NSObject's init answers at the root and returns the receiver.
  EXPECT_EQ(objc_msgSend<id>(leaf.get(), "init"), leaf.get());
}

TEST(RuntimeMessages, SuperSendStartsAboveTheGivenClass) {
  Strong<NSObject> derived = create(&objc_class_RuntimeTestDerived);
  EXPECT_STREQ(
      objc_msgSendSuper2<const char*>(derived.get(), &objc_class_RuntimeTestDerived, "name"),
      "base");
  // Started at Leaf's superclass (Derived), the lookup finds Derived's own override.
  EXPECT_STREQ(objc_msgSendSuper2<const char*>(derived.get(), &objc_class_RuntimeTestLeaf, "name"),
               "derived");
}

TEST(RuntimeMessagesDeathTest, UnknownMessageAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Strong<NSObject> base = create(&objc_class_RuntimeTestBase);
  EXPECT_DEATH(objc_msgSend<void>(base.get(), "noSuchMessage"),
               "RuntimeTestBase noSuchMessage.*unrecognized selector");
}

TEST(RuntimeInstances, CreatedThroughTheNearestHookWithTheRequestedClass) {
  Strong<NSObject> leaf = create(&objc_class_RuntimeTestLeaf);
  ASSERT_TRUE(leaf);
  EXPECT_EQ(object_getClass(leaf.get()), &objc_class_RuntimeTestLeaf);
  EXPECT_EQ(leaf->retainCount(), 1u);
  // The root has no hook: it cannot be made by name.
  EXPECT_EQ(class_createInstance(&objc_class_NSObject), nullptr);
  EXPECT_EQ(class_createInstance(nullptr), nullptr);
  leaf = nullptr;
  takeDestructionLog();
}

TEST(RuntimeLifetime, LastReleaseDestroysOnceMostDerivedFirst) {
  takeDestructionLog();
  id obj = class_createInstance(&objc_class_RuntimeTestLeaf);
  obj->retain();
  obj->retain();
  EXPECT_EQ(obj->retainCount(), 3u);
  obj->release();
  obj->release();
  EXPECT_EQ(obj->retainCount(), 1u);
  EXPECT_TRUE(takeDestructionLog().empty());
  obj->release();
  // Leaf has no destroyer of its own; each class's runs once, then the C++ object goes.
  EXPECT_EQ(takeDestructionLog(),
            (std::vector<std::string>{"RuntimeTestDerived.cxx_destruct",
                                      "RuntimeTestBase.cxx_destruct", "~RuntimeTestBase"}));
}

TEST(RuntimeLifetime, ConcurrentRetainReleaseDestroysExactlyOnce) {
  takeDestructionLog();
  Strong<NSObject> obj = create(&objc_class_RuntimeTestBase);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    // Each thread holds its own reference and drops it last thing, so whichever thread
    // ends last destroys the object.
    threads.emplace_back([ref = obj] {
      for (int i = 0; i < 1000; ++i) {
        Strong<NSObject> copy = ref;
      }
    });
  }
  obj = nullptr;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(takeDestructionLog(),
            (std::vector<std::string>{"RuntimeTestBase.cxx_destruct", "~RuntimeTestBase"}));
}

TEST(RuntimeStrong, CopyRetainsAssignmentReleasesMoveKeepsCount) {
  takeDestructionLog();
  Strong<NSObject> a = create(&objc_class_RuntimeTestBase);
  NSObject* raw = a.get();
  Strong<NSObject> b = a;
  EXPECT_EQ(raw->retainCount(), 2u);
  Strong<NSObject> c = std::move(b);
  EXPECT_EQ(raw->retainCount(), 2u);
  EXPECT_FALSE(b);  // NOLINT(bugprone-use-after-move): a moved-from Strong is absent
  c = create(&objc_class_RuntimeTestDerived);
  EXPECT_EQ(raw->retainCount(), 1u);
  const Strong<NSObject>& same = c;
  c = same;  // assigning an object its own reference must not drop the only one
  EXPECT_EQ(c->retainCount(), 1u);
  c = nullptr;
  a = nullptr;
  EXPECT_EQ(takeDestructionLog().size(), 5u);  // Derived's 3 entries, Base's 2
}

TEST(RuntimeStrong, DynamicCastChecksTheClassChain) {
  Strong<NSObject> derived = create(&objc_class_RuntimeTestDerived);
  Strong<NSObject> base = create(&objc_class_RuntimeTestBase);

  Strong<RuntimeTestBase> asBase = dynamicCast<RuntimeTestBase>(derived);
  ASSERT_TRUE(asBase);
  EXPECT_EQ(static_cast<NSObject*>(asBase.get()), derived.get());
  EXPECT_EQ(derived->retainCount(), 2u);  // the cast result owns a reference of its own

  EXPECT_FALSE(dynamicCast<RuntimeTestDerived>(base));
  EXPECT_EQ(base->retainCount(), 1u);
  EXPECT_FALSE(dynamicCast<RuntimeTestBase>(Strong<NSObject>()));
  asBase = nullptr;
  derived = nullptr;
  base = nullptr;
  takeDestructionLog();
}

}  // namespace
