// The video thumbnail plug-in's interface: libVideoThumbnails makes the frame a notification
// shows for a video, with libffmpegthumbnailer. The desktop plug-in loads it with dlopen on the
// first video it shows (DesktopNotifications/VideoThumbnailer.hpp), so that only a run that
// shows one maps it and the codec libraries it brings, over 150 of them.
//
// The call crosses images, each with its own copy of the C++ runtime, so it is noexcept and
// takes plain types. Thread-safe: each call decodes on its own.
#pragma once

#include <string>

#include "Foundation/NSError.hpp"

namespace video_thumbnails {

// The largest side of a frame, in pixels: twice what notification servers show an image at,
// for screens of two pixels a point.
inline constexpr int kFrameSize = 256;

// The C entry point, found with dlsym: sets `*png` to a PNG of the frame a tenth of the way
// into the video file at `path`, scaled with its proportions to fit in `size` x `size`; or
// returns false with `*error` set (NSCocoaErrorDomain / NSFileReadCorruptError naming the file
// and what the decoder said).
// REQUIRES: all pointers valid; `size` > 0.
inline constexpr const char* kFramePNGSymbol = "VideoThumbnailsFramePNG";
using FramePNGFunction = bool (*)(const char* path, int size, std::string* png,
                                  NSError* error) noexcept;

}  // namespace video_thumbnails
