// halvicourt_measure RESULT-FILE COMMAND [ARG ...]: runs COMMAND with this process's
// standard streams and writes "wall_s user_s system_s maxrss_kib exit_status" to RESULT-FILE.
//
// The benchmark script measures through this small process rather than itself: a child's
// peak RSS includes the memory of the process it was spawned from, and a Python parent's
// would dwarf the few megabytes being measured. Wall time runs from just before the spawn
// to the reaping, so both sides pay the same, small, overhead.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

extern char** environ;

namespace {

// "halvicourt_measure: <call>: <errno's text>" on standard error. perror rather than
// foundation::errorString: loading libFoundation would add its libraries to the memory that
// the measured child inherits.
int fail(const std::string& call, int err) {
  errno = err;
  std::perror(("halvicourt_measure: " + call).c_str());
  return 127;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: halvicourt_measure RESULT-FILE COMMAND [ARG ...]\n", stderr);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (int rc = posix_spawnp(&pid, argv[2], nullptr, nullptr, argv + 2, environ); rc != 0) {
    return fail(std::string("posix_spawnp(") + argv[2] + ")", rc);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return fail("wait4", errno);
  }
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) return fail(std::string("fopen(") + argv[1] + ")", errno);
  std::fprintf(out, "%.6f %.6f %.6f %ld %d\n", wall.count(), seconds(usage.ru_utime),
               seconds(usage.ru_stime), usage.ru_maxrss, exitStatus);
  std::fclose(out);
  return exitStatus;
}
