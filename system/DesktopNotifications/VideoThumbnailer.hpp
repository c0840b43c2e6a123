// VideoThumbnailer: writes the frame a notification shows for a video, through the video
// thumbnail plug-in (VideoThumbnails/VideoThumbnails.hpp), which it loads on first use from
// beside this library and keeps loaded. Not thread-safe: one owner thread (the presenter's bus
// thread), which the decoding holds for as long as it takes.
#pragma once

#include <optional>
#include <string>

#include "Foundation/NSError.hpp"
#include "VideoThumbnails/VideoThumbnails.hpp"

namespace desktop_notifications {

class VideoThumbnailer {
 public:
  // Writes a PNG of a frame of the video file at `video` to `output`, whole or not at all (it is
  // written aside and renamed into place). An error when the plug-in cannot be loaded
  // (NSExecutableLoadError, for this call and every one after it), the video gives no frame,
  // or the file cannot be written.
  foundation::Status writePNG(const std::string& video, const std::string& output);

 private:
  // Set by the first call: the plug-in's entry point, or why it could not be loaded.
  std::optional<foundation::Result<video_thumbnails::FramePNGFunction>> framePNG_;
};

}  // namespace desktop_notifications
