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

  // From now on the lines the calling thread writes may wait, to be written together at its
  // flush(): one system call for a burst of lines rather than one each. A line another thread
  // writes meanwhile writes the waiting ones first, so the lines keep the order of the calls.
  // A waiting line counts as written; one that then cannot be written fails the flush().
  virtual void hold() {}
  // Writes the lines waiting, and ends the hold: yes when there were none.
  virtual Written flush() { return Written::yes; }

 protected:
  ~LineSink() = default;
};

}  // namespace host
