// Bytes taken as a downloaded image file: the whole-image check must never crash, read out of
// bounds or loop, must give the same verdict reading from memory as reading a file through
// a buffer of any size (here 1 to 16 bytes, so that every structure straddles reads), and
// must say why whenever it refuses.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "UserNotifications/ImageStructure.hpp"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

int file = -1;

bool isAcceptedType(const char* type) {
  for (const char* known :
       {"public.jpeg", "public.png", "com.compuserve.gif", "org.webmproject.webp"}) {
    if (std::strcmp(type, known) == 0) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  file = memfd_create("image", MFD_CLOEXEC);
  check(file >= 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const foundation::Result<const char*> fromMemory =
      user_notifications::wholeImageType(std::span<const std::uint8_t>(data, size));
  check(ftruncate(file, 0) == 0);
  check(pwrite(file, data, size, 0) == static_cast<ssize_t>(size));
  const foundation::Result<const char*> fromFile =
      user_notifications::wholeImageType(file, size, 1 + size % 16);
  check(fromMemory.ok() == fromFile.ok());
  if (fromMemory.ok()) {
    check(isAcceptedType(*fromMemory) && std::strcmp(*fromMemory, *fromFile) == 0);
  } else {
    check(!fromMemory.error().description.empty());
    check(fromMemory.error().description == fromFile.error().description);
  }
  return 0;
}
