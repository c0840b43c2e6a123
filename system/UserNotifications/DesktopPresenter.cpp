#include "UserNotifications/DesktopPresenter.hpp"

#include <dlfcn.h>

#include <utility>

#include "UserNotifications/AttachmentType.hpp"
#include "UserNotifications/UNNotificationContent.hpp"

namespace usernotifications {

namespace {

// The library's file name alone: dlopen then searches this library's RUNPATH ($ORIGIN), the
// Frameworks folder the two are built into. It stays loaded for the life of the process,
// since the presenters it makes run its code until they go.
constexpr const char* kLibrary = "libDesktopNotifications.so";
// NSCocoaErrorDomain: the code of a library that cannot be loaded.
constexpr long NSExecutableLoadError = 3587;

}  // namespace

DesktopPresenter::~DesktopPresenter() = default;

DesktopNotification desktopNotification(std::string requestIdentifier,
                                        const UNNotificationContent& content) {
  DesktopNotification notification{std::move(requestIdentifier),
                                   content.title(),
                                   content.subtitle(),
                                   content.body(),
                                   std::nullopt,
                                   ""};
  if (content.sound().is_string()) notification.sound = content.sound().get<std::string>();
  // A server shows an image beside the text; a sound or a clip given as one would be refused
  // or shown broken.
  for (const Strong<UNNotificationAttachment>& attachment : content.attachments()) {
    if (attachmentKind(attachment->type()) == AttachmentKind::image) {
      notification.imageURL = attachment->url().absoluteString();
      break;
    }
  }
  return notification;
}

foundation::Result<std::unique_ptr<DesktopPresenter>> connectDesktopPresenter(
    std::string appName, DesktopPresenterCallbacks callbacks) {
  void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    return NSError{NSCocoaErrorDomain, NSExecutableLoadError, std::string("dlopen: ") + dlerror()};
  }
  auto connect = reinterpret_cast<DesktopPresenterConnectFunction>(
      dlsym(library, kDesktopPresenterConnectSymbol));
  if (connect == nullptr) {
    return NSError{NSCocoaErrorDomain, NSExecutableLoadError, std::string("dlsym: ") + dlerror()};
  }
  NSError error;
  DesktopPresenter* presenter = connect(appName, std::move(callbacks), &error);
  if (presenter == nullptr) return error;
  return std::unique_ptr<DesktopPresenter>(presenter);
}

}  // namespace usernotifications
