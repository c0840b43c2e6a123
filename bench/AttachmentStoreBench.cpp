// What the attachment store's own copy of a file costs, against the hard link it replaced: the
// 64 KiB image of the throughput case and the 10 MB one of the memory case, taken from a caches
// file into the store on one file system. The directory is $TMPDIR's (/tmp without it), as a
// user's home is a disk; /dev/shm would measure tmpfs instead.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "UserNotifications/AttachmentStore.hpp"
#include "base/FileDescriptor.hpp"

namespace {

// A directory of its own with a caches file of `bytes` in it, removed with the store's files
// at the end.
class Scratch {
 public:
  explicit Scratch(std::size_t bytes) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/halvicourt-store-bench.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return;
    directory_ = pattern;
    source_ = directory_ + "/0123456789abcdef0123456789abcdef.png";
    base::FileDescriptor out(::open(source_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    const std::string body(bytes, '\x5a');
    ok_ = out.valid() && base::writeAll(out.get(), body) == 0 && out.close() == 0;
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    std::error_code ignored;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
  }

  bool ok() const { return ok_; }
  const std::string& directory() const { return directory_; }
  const std::string& source() const { return source_; }

 private:
  std::string directory_;
  std::string source_;
  bool ok_ = false;
};

void BM_StoreTakesItsOwnCopy(benchmark::State& state) {
  const auto bytes = static_cast<std::size_t>(state.range(0));
  Scratch scratch(bytes);
  if (!scratch.ok()) {
    state.SkipWithError("the scratch directory could not be made");
    return;
  }
  foundation::Result<std::shared_ptr<user_notifications::AttachmentStore>> store =
      user_notifications::AttachmentStore::open(scratch.directory() + "/Attachments", 1ull << 40);
  base::FileDescriptor source(::open(scratch.source().c_str(), O_RDONLY | O_CLOEXEC));
  if (!store.ok() || !source.valid()) {
    state.SkipWithError("the store could not be opened");
    return;
  }
  for (auto _ : state) {
    foundation::Result<user_notifications::StoredFile> taken =
        (*store)->take(source, "0123456789abcdef0123456789abcdef.png");
    if (!taken.ok()) {
      state.SkipWithError(taken.error().description.c_str());
      return;
    }
    taken->discard();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_StoreTakesItsOwnCopy)->Arg(64 << 10)->Arg(10'000'000)->Unit(benchmark::kMicrosecond);

// The hard link the store made before: a second name, and its removal.
void BM_HardLinkAndUnlink(benchmark::State& state) {
  Scratch scratch(static_cast<std::size_t>(state.range(0)));
  if (!scratch.ok()) {
    state.SkipWithError("the scratch directory could not be made");
    return;
  }
  const std::string link = scratch.directory() + "/linked.png";
  for (auto _ : state) {
    if (::link(scratch.source().c_str(), link.c_str()) != 0 || ::unlink(link.c_str()) != 0) {
      state.SkipWithError("link or unlink failed");
      return;
    }
  }
}
BENCHMARK(BM_HardLinkAndUnlink)->Arg(64 << 10)->Arg(10'000'000)->Unit(benchmark::kMicrosecond);

}  // namespace
