// The principal class as the object runtime sees it: found by name, shaped as the platform
// expects (superclass, methods with their encodings, instance variables), and releasing
// exactly what its stored properties hold when an instance goes.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Foundation/NSExtensionMain.hpp"
#include "System/Block.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "UserNotifications/UNNotificationRequest.hpp"
#include "UserNotifications/UNNotificationServiceExtension.hpp"
#include "objc/runtime.hpp"
#include "service/NotificationService.hpp"

extern const objc_class objc_class_NotificationService;

namespace {

constexpr const char* kRuntimeName = "_TtC29HalvicourtNotificationService19NotificationService";

Strong<UNNotificationRequest> makeRequest() {
  UNNotificationContentFields fields;
  fields.title = "Parcel";
  fields.body = "Your parcel has arrived";
  fields.userInfo = {{"aps", {{"alert", {{"title", "Parcel"}}}, {"mutable-content", 1}}}};
  return makeStrong<UNNotificationRequest>("r1",
                                           makeStrong<UNNotificationContent>(std::move(fields)));
}

// An instance made and initialised the way the host makes one.
Strong<NSObject> makeInstance() {
  Class cls = objc_getClass(kRuntimeName);
  Strong<NSObject> instance = Strong<NSObject>::adopt(class_createInstance(cls));
  EXPECT_TRUE(instance);
  EXPECT_EQ(objc_msgSend<id>(instance.get(), "init"), instance.get());
  return instance;
}

NotificationService& service(const Strong<NSObject>& instance) {
  return *static_cast<NotificationService*>(instance.get());
}

// --- Lookup -----------------------------------------------------------------------------

TEST(NotificationServiceClassTest, PrincipalClassNamesResolveToTheOneRecord) {
  struct Row {
    const char* name;
    bool found;
  };
  const Row rows[] = {
      {kRuntimeName, true},
      {"HalvicourtNotificationService.NotificationService", true},
      {"NotificationService", false},
      {"Halvicourt.NotificationService", false},
      {"HalvicourtNotificationService.NotificationServic", false},
      {"HalvicourtNotificationService.NotificationService.Extra", false},
      {".NotificationService", false},
      {"HalvicourtNotificationService.", false},
      {"", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(NSClassFromString(row.name), row.found ? &objc_class_NotificationService : nullptr);
  }
  EXPECT_EQ(objc_getClass(kRuntimeName), &objc_class_NotificationService);
  EXPECT_STREQ(class_getName(&objc_class_NotificationService), kRuntimeName);
}

// --- Shape ------------------------------------------------------------------------------

TEST(NotificationServiceClassTest, IsADirectSubclassOfTheServiceExtensionBase) {
  Class cls = objc_getClass(kRuntimeName);
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(class_getSuperclass(cls), objc_getClass("UNNotificationServiceExtension"));
  EXPECT_EQ(class_getSuperclass(cls), UNNotificationServiceExtension::classRecord());
}

TEST(NotificationServiceClassTest, OwnMethodsAreTheServiceMessagesThenTheDestroyer) {
  Class cls = objc_getClass(kRuntimeName);
  struct Expected {
    const char* name;
    const char* types;
  };
  const Expected expected[] = {
      {"didReceiveNotificationRequest:withContentHandler:", "v32@0:8@16@?24"},
      {"serviceExtensionTimeWillExpire", "v16@0:8"},
      {"init", "@16@0:8"},
      {".cxx_destruct", nullptr},  // the runtime's own; its encoding is not the platform's
  };
  std::span<const objc_method> methods = class_getInstanceMethods(cls);
  ASSERT_EQ(methods.size(), std::size(expected));
  for (std::size_t i = 0; i < methods.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_STREQ(methods[i].name, expected[i].name);
    if (expected[i].types != nullptr) {
      EXPECT_STREQ(methods[i].types, expected[i].types);
    }
    EXPECT_NE(methods[i].imp, nullptr);
  }
  EXPECT_TRUE(class_getClassMethods(cls).empty());
  // The class registers no dealloc: the inherited one runs the destroyer.
  EXPECT_EQ(class_getOwnMethod(cls, "dealloc"), nullptr);
  EXPECT_NE(class_getMethodImplementation(cls, "dealloc"), nullptr);
}

TEST(NotificationServiceClassTest, InstanceVariablesDescribeWhereThePropertiesLive) {
  Class cls = objc_getClass(kRuntimeName);
  std::span<const objc_ivar> ivars = class_getIvars(cls);
  ASSERT_EQ(ivars.size(), 2u);
  EXPECT_STREQ(ivars[0].name, "contentHandler");
  EXPECT_STREQ(ivars[1].name, "bestAttemptContent");
  for (const objc_ivar& ivar : ivars) {
    SCOPED_TRACE(ivar.name);
    EXPECT_LE(ivar.offset + ivar.size, cls->instanceSize);
  }

  Strong<NSObject> instance = makeInstance();
  auto content = makeStrong<UNMutableNotificationContent>(UNNotificationContentFields{});
  service(instance).setBestAttemptContent(content);
  service(instance).setContentHandler([](const Strong<UNNotificationContent>&) {});
  auto* base = reinterpret_cast<const char*>(instance.get());
  const auto* handler =
      reinterpret_cast<const std::optional<ContentHandler>*>(base + ivars[0].offset);
  const auto* best =
      reinterpret_cast<const Strong<UNMutableNotificationContent>*>(base + ivars[1].offset);
  EXPECT_TRUE(handler->has_value());
  EXPECT_EQ(best->get(), content.get());
}

// --- Lifecycle --------------------------------------------------------------------------

TEST(NotificationServiceClassTest, FreshInstanceHasBothPropertiesAbsent) {
  Strong<NSObject> instance = makeInstance();
  EXPECT_EQ(object_getClass(instance.get()), &objc_class_NotificationService);
  EXPECT_FALSE(service(instance).contentHandler().has_value());
  EXPECT_EQ(service(instance).bestAttemptContent(), nullptr);
}

// A content-handler block whose captured token counts the live copies of its callable, and
// which records what it is called with.
struct ObservedBlock {
  std::shared_ptr<int> token = std::make_shared<int>(0);
  std::vector<Strong<UNNotificationContent>> delivered;
};

TEST(NotificationServiceClassTest, DestroyingAnInstanceReleasesTheBlockAndTheContent) {
  ObservedBlock observed;
  auto block = blocks::makeBlock<void(UNNotificationContent*)>(
      [token = observed.token, &observed](UNNotificationContent* content) {
        observed.delivered.push_back(Strong<UNNotificationContent>::retain(content));
      });
  Strong<UNMutableNotificationContent> best;
  {
    Strong<NSObject> instance = makeInstance();
    Strong<UNNotificationRequest> request = makeRequest();
    objc_msgSend<void>(instance.get(),
                       "didReceiveNotificationRequest:withContentHandler:", request.get(),
                       block.get());
    // Ours, the stack block's and the one copy the instance holds.
    EXPECT_EQ(observed.token.use_count(), 3);
    best = service(instance).bestAttemptContent();
    ASSERT_TRUE(best);
    EXPECT_NE(static_cast<UNNotificationContent*>(best.get()), request->content().get());
    EXPECT_EQ(best->retainCount(), 2u);

    // The expiry message reaches the block with the stored copy.
    objc_msgSend<void>(instance.get(), "serviceExtensionTimeWillExpire");
    ASSERT_EQ(observed.delivered.size(), 1u);
    EXPECT_EQ(observed.delivered[0].get(), static_cast<UNNotificationContent*>(best.get()));
    observed.delivered.clear();
    EXPECT_EQ(best->retainCount(), 2u);
  }
  EXPECT_EQ(observed.token.use_count(), 2) << "the block copy outlived the instance";
  EXPECT_EQ(best->retainCount(), 1u);
}

TEST(NotificationServiceClassTest, WithoutAHandlerOnlyTheContentIsReleased) {
  auto content = makeStrong<UNMutableNotificationContent>(UNNotificationContentFields{});
  {
    Strong<NSObject> instance = makeInstance();
    service(instance).setBestAttemptContent(content);
    EXPECT_EQ(content->retainCount(), 2u);
  }
  EXPECT_EQ(content->retainCount(), 1u);
}

TEST(NotificationServiceClassTest, WithoutEitherPropertyNothingIsReleased) {
  ObservedBlock observed;
  {
    Strong<NSObject> instance = makeInstance();
    service(instance).setContentHandler(
        [token = observed.token](const Strong<UNNotificationContent>&) {});
    EXPECT_EQ(observed.token.use_count(), 2);
    service(instance).setContentHandler(std::nullopt);
    EXPECT_EQ(observed.token.use_count(), 1);
  }
  EXPECT_EQ(observed.token.use_count(), 1);
}

}  // namespace
