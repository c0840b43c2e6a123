// The attachment check of a whole file, read through the descriptor as the factory reads
// it: a 10 MB PNG (every byte read for its CRCs), a 10 MB MP4 and a 5 MB MP3, made by ffmpeg
// when the benchmarks start. Bytes per second for each: no format may cost more per byte
// than the PNG.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "UserNotifications/AttachmentType.hpp"

namespace {

// The files, made once in a directory that goes with the process; empty when ffmpeg failed.
class MediaFiles {
 public:
  MediaFiles() : dir_(std::filesystem::temp_directory_path() / "halvicourt-bench-XXXXXX") {
    if (mkdtemp(dir_.data()) == nullptr) return;
    const std::string commands =
        "cd '" + dir_ +
        "' && ffmpeg -v error -f lavfi -i color=c=gray:s=1920x1740"
        " -vf noise=alls=100:allf=u -frames:v 1 -pix_fmt rgb24 image.png"
        " && ffmpeg -v error -f lavfi -i testsrc2=s=1280x720:r=25 -t 7 -c:v mpeg4 -q:v 2"
        " video.mp4"
        " && ffmpeg -v error -f lavfi -i sine=duration=156 -c:a libmp3lame -b:a 256k audio.mp3";
    made_ = std::system(commands.c_str()) == 0;
  }
  ~MediaFiles() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  MediaFiles(const MediaFiles&) = delete;
  MediaFiles& operator=(const MediaFiles&) = delete;

  bool made() const { return made_; }
  std::string file(const char* name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
  bool made_ = false;
};

const MediaFiles& mediaFiles() {
  static const MediaFiles files;
  return files;
}

void BM_WholeAttachmentType(benchmark::State& state, const char* name) {
  const MediaFiles& files = mediaFiles();
  if (!files.made()) {
    state.SkipWithError("needs ffmpeg to make the files (scripts/setup.sh)");
    return;
  }
  const int fd = open(files.file(name).c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    state.SkipWithError("the file ffmpeg made cannot be opened");
    if (fd >= 0) close(fd);
    return;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (!user_notifications::wholeAttachmentType(fd, size).ok()) {
    state.SkipWithError("the file ffmpeg made is refused");
    close(fd);
    return;
  }
  for (auto _ : state) {
    foundation::Result<user_notifications::AttachmentType> type =
        user_notifications::wholeAttachmentType(fd, size);
    benchmark::DoNotOptimize(type);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
  state.SetLabel(std::to_string(size) + " bytes");
  close(fd);
}
BENCHMARK_CAPTURE(BM_WholeAttachmentType, png_10MB, "image.png")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WholeAttachmentType, mp4_10MB, "video.mp4")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WholeAttachmentType, mp3_5MB, "audio.mp3")->Unit(benchmark::kMillisecond);

}  // namespace
