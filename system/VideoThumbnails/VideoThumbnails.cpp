#include "VideoThumbnails/VideoThumbnails.hpp"

#include <libffmpegthumbnailer/videothumbnailerc.h>

#include <cerrno>
#include <exception>
#include <memory>
#include <type_traits>

#define VT_EXPORT __attribute__((visibility("default")))

namespace {

// NSCocoaErrorDomain's code for a file whose contents cannot be read as what they should be.
constexpr long kFileReadCorruptError = 259;

// What the thumbnailer last said on this thread: its log callback takes no context.
thread_local std::string lastMessage;

void keepMessage(ThumbnailerLogLevel level, const char* message) {
  if (level == ThumbnailerLogLevelError && message != nullptr) lastMessage = message;
}

struct ThumbnailerDestroy {
  void operator()(video_thumbnailer* thumbnailer) const { video_thumbnailer_destroy(thumbnailer); }
};
struct ImageDataDestroy {
  void operator()(image_data* data) const { video_thumbnailer_destroy_image_data(data); }
};

}  // namespace

// The library's entry point, found with dlsym. No exception may leave it: the caller is
// another image.
extern "C" VT_EXPORT bool VideoThumbnailsFramePNG(const char* path, int size, std::string* png,
                                                  NSError* error) noexcept {
  try {
    const std::unique_ptr<video_thumbnailer, ThumbnailerDestroy> thumbnailer(
        video_thumbnailer_create());
    const std::unique_ptr<image_data, ImageDataDestroy> image(
        video_thumbnailer_create_image_data());
    if (thumbnailer == nullptr || image == nullptr) {
      *error = NSError{NSPOSIXErrorDomain, ENOMEM, "video_thumbnailer_create: out of memory"};
      return false;
    }
    thumbnailer->thumbnail_image_type = Png;
    thumbnailer->maintain_aspect_ratio = 1;
    video_thumbnailer_set_size(thumbnailer.get(), size, size);
    video_thumbnailer_set_log_callback(thumbnailer.get(), keepMessage);
    lastMessage.clear();
    if (video_thumbnailer_generate_thumbnail_to_buffer(thumbnailer.get(), path, image.get()) != 0 ||
        image->image_data_ptr == nullptr || image->image_data_size <= 0) {
      *error = NSError{
          NSCocoaErrorDomain, kFileReadCorruptError,
          std::string("no frame of ") + path + (lastMessage.empty() ? "" : ": " + lastMessage)};
      return false;
    }
    png->assign(reinterpret_cast<const char*>(image->image_data_ptr),
                static_cast<std::size_t>(image->image_data_size));
    return true;
  } catch (const std::exception& exception) {
    *error =
        NSError{NSPOSIXErrorDomain, ENOMEM, std::string("video thumbnail: ") + exception.what()};
    return false;
  }
}

static_assert(
    std::is_same_v<decltype(&VideoThumbnailsFramePNG), video_thumbnails::FramePNGFunction>);
