#include "host/Process.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace host {

void holdClosedStandardDescriptors() {
  const struct {
    int fd;
    int flags;
  } standard[] = {{STDIN_FILENO, O_WRONLY}, {STDOUT_FILENO, O_RDONLY}, {STDERR_FILENO, O_RDONLY}};
  for (const auto& [fd, flags] : standard) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = open("/dev/null", flags);
    if (held >= 0 && held != fd) {
      dup2(held, fd);
      close(held);
    }
  }
}

void ignoreSignalsThatLoseRequests() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

void shareOneMallocArenaForAFewFiles(std::size_t files) {
  constexpr std::size_t kFewFiles = 16;
  if (files == 0 || files > kFewFiles) return;
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (std::getenv("MALLOC_ARENA_MAX") != nullptr ||
      (tunables != nullptr && std::strstr(tunables, "glibc.malloc.arena_max") != nullptr)) {
    return;
  }
  (void)mallopt(M_ARENA_MAX, 1);
}

}  // namespace host
