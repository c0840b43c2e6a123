#include "DesktopNotifications/VideoThumbnailer.hpp"

#include <dlfcn.h>

#include <utility>

#include "Foundation/Data.hpp"
#include "Foundation/URL.hpp"

namespace desktop_notifications {

namespace {

// The file name alone: dlopen then searches this library's RUNPATH ($ORIGIN), the Frameworks
// folder the two are built into.
constexpr const char* kPlugIn = "libVideoThumbnails.so";

foundation::Result<video_thumbnails::FramePNGFunction> loadPlugIn() {
  void* library = dlopen(kPlugIn, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    return NSError{NSCocoaErrorDomain, NSExecutableLoadError, std::string("dlopen: ") + dlerror()};
  }
  auto framePNG = reinterpret_cast<video_thumbnails::FramePNGFunction>(
      dlsym(library, video_thumbnails::kFramePNGSymbol));
  if (framePNG == nullptr) {
    return NSError{NSCocoaErrorDomain, NSExecutableLoadError, std::string("dlsym: ") + dlerror()};
  }
  return framePNG;
}

}  // namespace

foundation::Status VideoThumbnailer::writePNG(const std::string& video, const std::string& output) {
  if (!framePNG_) framePNG_ = loadPlugIn();
  if (!framePNG_->ok()) return framePNG_->error();
  std::string png;
  NSError error;
  if (!(**framePNG_)(video.c_str(), video_thumbnails::kFrameSize, &png, &error)) return error;
  return Data(std::move(png)).write(URL::fileURLWithPath(output), Data::atomic);
}

}  // namespace desktop_notifications
