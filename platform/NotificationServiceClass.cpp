// The principal class as the object runtime sees it: its constant class record, listed in
// this image's class list, and the message entry points that reach NotificationService.
#include <cstddef>
#include <memory>

#include "System/Block.hpp"
#include "UserNotifications/UNNotificationServiceExtension.hpp"
#include "objc/runtime.hpp"
#include "service/NotificationService.hpp"

extern const objc_class objc_class_NotificationService;

struct NotificationServiceLayout {
  // NotificationService is not standard-layout (it derives from the root object), which
  // offsetof supports on both compilers for classes without virtual bases.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
  static constexpr std::size_t contentHandler = offsetof(NotificationService, contentHandler_);
  static constexpr std::size_t bestAttemptContent =
      offsetof(NotificationService, bestAttemptContent_);
#pragma GCC diagnostic pop
  static constexpr std::size_t contentHandlerSize = sizeof(NotificationService::contentHandler_);
  static constexpr std::size_t bestAttemptContentSize =
      sizeof(NotificationService::bestAttemptContent_);
};

namespace {

NotificationService* service(id self) { return static_cast<NotificationService*>(self); }

id createInstance(Class cls) { return new NotificationService(cls); }

id NotificationService_init(id self, SEL sel) {
  service(self)->init();
  return objc_msgSendSuper2<id>(self, &objc_class_NotificationService, sel);
}

void NotificationService_didReceive(id self, SEL, UNNotificationRequest* request,
                                    user_notifications::ContentHandlerBlock block) {
  objc::Strong<NSObject> receiver = objc::Strong<NSObject>::retain(self);
  // One copy of the platform's block, shared by every copy of the handler and released
  // with the last of them.
  std::shared_ptr<void> copied(_Block_copy(block), [](void* b) { _Block_release(b); });
  ContentHandler handler = [copied](const objc::Strong<UNNotificationContent>& content) {
    if (copied) blocks::invoke<void, UNNotificationContent*>(copied.get(), content.get());
  };
  service(self)->didReceive(objc::Strong<UNNotificationRequest>::retain(request),
                            std::move(handler));
}

void NotificationService_serviceExtensionTimeWillExpire(id self, SEL) {
  objc::Strong<NSObject> receiver = objc::Strong<NSObject>::retain(self);
  service(self)->serviceExtensionTimeWillExpire();
}

void NotificationService_cxxDestruct(id self, SEL) { service(self)->destroyStoredProperties(); }

constinit const objc_method kMethods[] = {
    {user_notifications::kDidReceiveNotificationRequestSelector, "v32@0:8@16@?24",
     OBJC_IMP(NotificationService_didReceive)},
    {user_notifications::kServiceExtensionTimeWillExpireSelector, "v16@0:8",
     OBJC_IMP(NotificationService_serviceExtensionTimeWillExpire)},
    {"init", "@16@0:8", OBJC_IMP(NotificationService_init)},
    {".cxx_destruct", "v16@0:8", OBJC_IMP(NotificationService_cxxDestruct)},
};

constinit const objc_ivar kIvars[] = {
    {"contentHandler", "@?", NotificationServiceLayout::contentHandler,
     NotificationServiceLayout::contentHandlerSize},
    {"bestAttemptContent", "@\"UNMutableNotificationContent\"",
     NotificationServiceLayout::bestAttemptContent,
     NotificationServiceLayout::bestAttemptContentSize},
};

}  // namespace

constinit const objc_class objc_class_NotificationService =
    objc::makeClass(&objc_class_UNNotificationServiceExtension,
                    "_TtC29HalvicourtNotificationService19NotificationService",
                    sizeof(NotificationService), kMethods, kIvars, &createInstance);
OBJC_CLASSLIST_ENTRY(objc_class_NotificationService);
