#include "host/AppBundle.hpp"

#include <optional>
#include <string>

#include "Foundation/NSBundle.hpp"

namespace host {

const NSBundle* appBundle() {
  static const NSBundle* const app = []() -> const NSBundle* {
    const std::optional<std::string> path =
        foundation::containingAppPath(NSBundle::mainBundle().bundlePath());
    return path ? new NSBundle(*path) : nullptr;
  }();
  return app;
}

}  // namespace host
