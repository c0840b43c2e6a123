// Input: the host's reader of push requests, from payload files or from JSON Lines on a
// descriptor. Every line and every file is read through a cap of kMaximumInputBytes, whatever
// the file is (a FIFO or a device has no size to trust), so that no input can exhaust memory.
// Each accepted request goes to the sink as soon as it is read; each refused one is reported
// by its line number or file name. A read waits on the stop too: once it is requested, reading
// ends as at the end of the input, lines already read are still handed on, and what the stop
// left unread is reported and counted as not read.
//
// Not thread-safe: one thread reads. The sink is called on that thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/Diagnostics.hpp"
#include "host/Payload.hpp"
#include "host/Stop.hpp"

namespace host {

// The largest line, or payload file, the host accepts: 4 MiB.
inline constexpr std::size_t kMaximumInputBytes = 4u << 20;

class Input {
 public:
  using Sink = std::function<void(PushRequest)>;

  // REQUIRES: `stop` and `diagnostics` outlive this object.
  Input(const Stop& stop, Diagnostics& diagnostics, Sink sink)
      : stop_(stop), diagnostics_(diagnostics), sink_(std::move(sink)) {}

  // Each file in turn is one payload, its request identifier the name as given.
  void readFiles(const std::vector<std::string>& files);
  // JSON Lines from `fd`, each line handled as it arrives, until the end of the input, a failed
  // read, or the stop.
  void readLines(int fd);

  // An input was refused or could not be read, or the stop left some of it unread.
  bool failed() const { return failed_; }

 private:
  void line(std::string_view text, std::size_t number);
  void error(const std::string& message);

  const Stop& stop_;
  Diagnostics& diagnostics_;
  const Sink sink_;
  bool failed_ = false;
};

}  // namespace host
