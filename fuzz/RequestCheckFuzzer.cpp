// One request as the gateway checks it: the input is its header list, a "name: value" line
// each, then an empty line and the body; its first byte picks how the connection
// authenticated. Any crash or sanitizer report is a finding, and so is an answer that breaks
// the check's promises: 200 exactly with a push, a reason with every refusal, an apns-id that
// is a UUID, a push that carries the body whole and within its limit.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/gateway/RequestCheck.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace host::gateway;
  if (size == 0) return 0;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Authentication authentication = static_cast<Authentication>(data[0] % 3);
  std::vector<Header> headers;
  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    const std::string_view line = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    if (line.empty()) break;
    const std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) {
      headers.push_back({std::string(line), ""});
    } else {
      headers.push_back({std::string(line.substr(0, colon)), std::string(line.substr(colon + 2))});
    }
  }
  CheckContext context;
  context.deviceToken = "0a1b2c3d4e5f60718293a4b5c6d7e8f9";
  context.appTopic = "com.halvicourt.app";
  context.authentication = authentication;
  context.certificateTopic = "com.halvicourt.app";
  if (data[0] & 0x80) context.tokenRefusal = Answer{403, "InvalidProviderToken"};
  context.newId = "11111111-2222-4333-8444-555555555555";
  const Verdict verdict = checkRequest(headers, std::string(input), context);
  if ((verdict.answer.status == 200) != verdict.push.has_value()) __builtin_trap();
  if (verdict.answer.status != 200 && verdict.answer.reason.empty()) __builtin_trap();
  if (!isUuid(verdict.apnsId)) __builtin_trap();
  if (verdict.push) {
    if (verdict.push->payload != input || input.empty()) __builtin_trap();
    if (input.size() > payloadLimit(headers)) __builtin_trap();
    if (verdict.push->apnsId != verdict.apnsId) __builtin_trap();
    if (!topicSuffix(verdict.push->pushType)) __builtin_trap();
  }
  return 0;
}
