// Bytes taken as a downloaded attachment file: the attachment check must never crash, read
// out of bounds or loop, must give the same verdict reading from memory as reading a file
// through a buffer of any size (here 1 to 16 bytes, so that every structure straddles
// reads), must name one of the platform's types with its kind when it accepts, and must say
// why whenever it refuses.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "UserNotifications/AttachmentType.hpp"

namespace {

using user_notifications::AttachmentKind;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

int file = -1;

bool isAcceptedType(const user_notifications::AttachmentType& type) {
  struct Known {
    const char* identifier;
    AttachmentKind kind;
  } const known[] = {
      {"public.jpeg", AttachmentKind::image},
      {"public.png", AttachmentKind::image},
      {"com.compuserve.gif", AttachmentKind::image},
      {"org.webmproject.webp", AttachmentKind::image},
      {"public.aiff-audio", AttachmentKind::audio},
      {"com.microsoft.waveform-audio", AttachmentKind::audio},
      {"public.mp3", AttachmentKind::audio},
      {"public.mpeg-4-audio", AttachmentKind::audio},
      {"public.mpeg", AttachmentKind::video},
      {"public.mpeg-2-video", AttachmentKind::video},
      {"public.mpeg-4", AttachmentKind::video},
      {"public.avi", AttachmentKind::video},
  };
  for (const Known& k : known) {
    if (std::strcmp(type.identifier, k.identifier) == 0) return type.kind == k.kind;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  file = memfd_create("attachment", MFD_CLOEXEC);
  check(file >= 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const foundation::Result<user_notifications::AttachmentType> fromMemory =
      user_notifications::wholeAttachmentType(std::span<const std::uint8_t>(data, size));
  check(ftruncate(file, 0) == 0);
  check(pwrite(file, data, size, 0) == static_cast<ssize_t>(size));
  const foundation::Result<user_notifications::AttachmentType> fromFile =
      user_notifications::wholeAttachmentType(file, size, 1 + size % 16);
  check(fromMemory.ok() == fromFile.ok());
  if (fromMemory.ok()) {
    check(isAcceptedType(*fromMemory));
    check(std::strcmp(fromMemory->identifier, fromFile->identifier) == 0);
  } else {
    check(!fromMemory.error().description.empty());
    check(fromMemory.error().description == fromFile.error().description);
  }
  return 0;
}
