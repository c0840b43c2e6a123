// The delivered content to the JSON line the host prints for it, attachment included.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Foundation/URL.hpp"
#include "UserNotifications/UNNotificationAttachment.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "host/OutputLine.hpp"

namespace {

// The attachment needs a real image file to recognise, whole: a 1x1 PNG.
std::optional<URL> writeSampleImage(const std::filesystem::path& directory) {
  static constexpr unsigned char kPng[] = {
      0x89, 'P',  'N',  'G',  0x0D, 0x0A, 0x1A, 0x0A, 0,    0,    0,    0x0D, 'I',  'H',
      'D',  'R',  0,    0,    0,    1,    0,    0,    0,    1,    8,    6,    0,    0,
      0,    0x1F, 0x15, 0xC4, 0x89, 0,    0,    0,    0x0A, 'I',  'D',  'A',  'T',  0x78,
      0x9C, 0x63, 0x00, 0x01, 0x00, 0x00, 0x05, 0x00, 0x01, 0x0D, 0x0A, 0x2D, 0xB4, 0,
      0,    0,    0,    'I',  'E',  'N',  'D',  0xAE, 0x42, 0x60, 0x82};
  const std::filesystem::path file = directory / "4c1ab7b3a2d3e0e9f5a1c2d4b6e8f0a1.png";
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(kPng), sizeof kPng);
  if (!out.flush()) return std::nullopt;
  return URL::fileURLWithPath(file.string());
}

void BM_ContentToOutputLine(benchmark::State& state) {
  char pattern[] = "/tmp/halvicourt-microbench.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::filesystem::path directory = pattern;
  std::optional<URL> file = writeSampleImage(directory);
  std::optional<NSError> error;
  objc::Strong<UNNotificationAttachment> attachment =
      file ? UNNotificationAttachment::attachmentWithIdentifier("image_downloaded", *file, nullptr,
                                                                &error)
           : objc::Strong<UNNotificationAttachment>();
  std::filesystem::remove_all(directory);
  if (!attachment) {
    state.SkipWithError("the sample image was not accepted as an attachment");
    return;
  }

  user_notifications::ContentFields fields;
  fields.title = "Sunset over Halvicourt";
  fields.body = "Tonight's view from the harbour";
  fields.badge = 1;
  fields.sound = UNNotificationSound::defaultSound();
  fields.threadIdentifier = "harbour";
  fields.userInfo = nlohmann::json::parse(
      R"({"aps":{"alert":{"title":"Sunset over Halvicourt","body":"Tonight's view from the )"
      R"(harbour"},"badge":1,"sound":"default","thread-id":"harbour","mutable-content":1},)"
      R"("image":"http://127.0.0.1:8080/img/01234.png"})");
  UNMutableNotificationContent content(std::move(fields), {attachment});

  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = host::extensionLine("r1234", 1, false, true, &content);
    bytes += text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_ContentToOutputLine);

}  // namespace
