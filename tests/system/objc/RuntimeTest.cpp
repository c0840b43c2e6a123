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

// A hierarchy of this image's own: RuntimeTestBase <- RuntimeTestDerived <- RuntimeTestLeaf.
// Leaf has no creation hook and no methods, so it is made through Derived's hook and answers
// only what it inherits. In C++ every instance is a RuntimeTestObject.

namespace {

std::mutex logMutex;
std::vector<std::string> destructionLog;  // guarded by logMutex

void logDestruction(const char* what) {
  std::lock_guard<std::mutex> lock(logMutex);
  destructionLog.emplace_back(what);
}

std::vector<std::string> takeDestructionLog() {
  std::lock_guard<std::mutex> lock(logMutex);
  return std::exchange(destructionLog, {});
}

class RuntimeTestObject : public NSObject {
 public:
  RuntimeTestObject(Class cls, int mark) : NSObject(cls), value(mark) {}
  const int value;

 protected:
  ~RuntimeTestObject() override { logDestruction("~RuntimeTestObject"); }
};

// Each hook leaves its own mark, so that an instance shows which hook made it.
id createBase(Class cls) { return new RuntimeTestObject(cls, 30); }
id createDerived(Class cls) { return new RuntimeTestObject(cls, 40); }
const char* Base_name(id, SEL) { return "base"; }
const char* Derived_name(id, SEL) { return "derived"; }
int Base_sumWith(id self, SEL, int a, long b) {
  return static_cast<RuntimeTestObject*>(self)->value + a + static_cast<int>(b);
}
void Base_cxxDestruct(id, SEL) { logDestruction("Base.cxx_destruct"); }
void Derived_cxxDestruct(id, SEL) { logDestruction("Derived.cxx_destruct"); }

constinit const objc_method kBaseMethods[] = {
    {"name", "*16@0:8", OBJC_IMP(Base_name)},
    {"sum:with:", "i28@0:8i16q20", OBJC_IMP(Base_sumWith)},
    {".cxx_destruct", "v16@0:8", OBJC_IMP(Base_cxxDestruct)},
};
constinit const objc_method kDerivedMethods[] = {
    {".cxx_destruct", "v16@0:8", OBJC_IMP(Derived_cxxDestruct)},
    {"name", "*16@0:8", OBJC_IMP(Derived_name)},
};

constinit const objc_class objc_class_RuntimeTestBase =
    objc::makeClass(&objc_class_NSObject, "RuntimeTestBase", sizeof(RuntimeTestObject),
                    kBaseMethods, {}, &createBase);
OBJC_CLASSLIST_ENTRY(objc_class_RuntimeTestBase);
constinit const objc_class objc_class_RuntimeTestDerived =
    objc::makeClass(&objc_class_RuntimeTestBase, "RuntimeTestDerived", sizeof(RuntimeTestObject),
                    kDerivedMethods, {}, &createDerived);
OBJC_CLASSLIST_ENTRY(objc_class_RuntimeTestDerived);
constinit const objc_class objc_class_RuntimeTestLeaf =
    objc::makeClass(&objc_class_RuntimeTestDerived, "RuntimeTestLeaf", sizeof(RuntimeTestObject));
OBJC_CLASSLIST_ENTRY(objc_class_RuntimeTestLeaf);

objc::Strong<NSObject> create(Class cls) {
  return objc::Strong<NSObject>::adopt(class_createInstance(cls));
}

TEST(RuntimeLookup, FindsListedNamesExactlyFromManyThreads) {
  EXPECT_EQ(objc_getClass("NSObject"), &objc_class_NSObject);  // listed by libobjc
  EXPECT_EQ(objc_getClass("RuntimeTestLeaf"), &objc_class_RuntimeTestLeaf);
  EXPECT_EQ(objc_getClass("RuntimeTest"), nullptr);  // a prefix is another name
  EXPECT_EQ(objc_getClass(""), nullptr);
  // Misses rescan the loaded images and fill the shared table while others read it.
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
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

TEST(RuntimeObjects, ALeafAnswersWhatItInheritsAndItsLastReleaseRunsEachDestroyerOnce) {
  // The root has no hook: it cannot be made by name.
  EXPECT_EQ(class_createInstance(&objc_class_NSObject), nullptr);
  objc::Strong<NSObject> leaf = create(&objc_class_RuntimeTestLeaf);
  ASSERT_TRUE(leaf);
  EXPECT_EQ(object_getClass(leaf.get()), &objc_class_RuntimeTestLeaf);
  EXPECT_STREQ(objc_msgSend<const char*>(leaf.get(), "name"), "derived");
  EXPECT_EQ((objc_msgSend<int, int, long>(leaf.get(), "sum:with:", 1, 1L)), 42);
  EXPECT_EQ(objc_msgSend<id>(leaf.get(), "init"), leaf.get());
  // A super send starts above the given class.
  EXPECT_STREQ(objc_msgSendSuper2<const char*>(leaf.get(), &objc_class_RuntimeTestDerived, "name"),
               "base");

  leaf->retain();
  EXPECT_EQ(leaf->retainCount(), 2u);
  leaf->release();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    // Whichever thread drops its reference last destroys the object.
    threads.emplace_back([ref = leaf] {
      for (int i = 0; i < 1000; ++i) objc::Strong<NSObject> copy = ref;
    });
  }
  leaf = nullptr;
  for (std::thread& t : threads) t.join();
  // Most derived first.
  EXPECT_EQ(takeDestructionLog(),
            (std::vector<std::string>{"Derived.cxx_destruct", "Base.cxx_destruct",
                                      "~RuntimeTestObject"}));
}

}  // namespace
