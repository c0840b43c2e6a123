// LineSink: where the scheduler writes its lines (standard output in the process: Output.hpp;
// a record of them in the scheduler's tests). Implementations are thread-safe and keep each
// line whole.
#pragma once

#include <string>

namespace host {

class LineSink {
 public:
  enum class Written {
    yes,
    closed,  // the run has ended, and the line is dropped
    failed,  // the line could not be written, nor can any after it
  };

  // Writes `line` and a newline.
  virtual Written writeLine(std::string line) = 0;
  // Drops every later line.
  virtual void close() = 0;

 protected:
  ~LineSink() = default;
};

}  // namespace host
