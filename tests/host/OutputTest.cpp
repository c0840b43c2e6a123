// Standard output against a real pipe whose reader stops reading (a paused pager): a line waits
// for the reader, but not past the stop's drain, and not at all after a second stop; a reader
// that went away fails the line and every one after it.
#include "host/Output.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace {

using Written = host::LineSink::Written;

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    read = base::FileDescriptor(fds[0]);
    write = base::FileDescriptor(fds[1]);
    // The smallest a pipe holds: one line fills it.
    fcntl(write.get(), F_SETPIPE_SZ, 4096);
  }
  base::FileDescriptor read;
  base::FileDescriptor write;
};

const std::string kLine(6000, 'x');

TEST(Output, ABlockedReaderHoldsALineButNotPastTheStop) {
  struct Row {
    const char* what;
    int stops;                        // requested before the line
    std::chrono::milliseconds drain;  // how long lines may wait after the stop
  } const rows[] = {
      {"one stop: the drain's time, then given up", 1, std::chrono::milliseconds(50)},
      {"a second stop: given up at once", 2, std::chrono::hours(1)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Pipe pipe;
    std::unique_ptr<host::Stop> stop = *host::Stop::make();
    host::Output output(pipe.write.get(), *stop, row.drain);
    for (int i = 0; i < row.stops; ++i) stop->request();
    EXPECT_EQ(output.writeLine(kLine), Written::failed);
    EXPECT_EQ(output.writeLine("later"), Written::failed);
    EXPECT_EQ(output.unwritten(), 2u);
    EXPECT_TRUE(output.status().ok());
  }
}

// Before the stop a line waits for the reader however long it takes; the stop then bounds it.
TEST(Output, TheStopEndsAWaitAlreadyUnderWay) {
  Pipe pipe;
  std::unique_ptr<host::Stop> stop = *host::Stop::make();
  host::Output output(pipe.write.get(), *stop, std::chrono::milliseconds(0));
  std::thread writer([&] { EXPECT_EQ(output.writeLine(kLine), Written::failed); });
  stop->request();
  writer.join();
  EXPECT_EQ(output.unwritten(), 1u);
}

TEST(Output, AReaderThatWentAwayFailsEveryLine) {
  // As the host does: the write fails with EPIPE rather than the signal ending the process.
  struct sigaction ignore {
  }, saved{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved);
  Pipe pipe;
  std::unique_ptr<host::Stop> stop = *host::Stop::make();
  host::Output output(pipe.write.get(), *stop);
  EXPECT_EQ(output.writeLine("read"), Written::yes);
  pipe.read = base::FileDescriptor();
  EXPECT_EQ(output.writeLine("nobody reads"), Written::failed);
  EXPECT_EQ(output.writeLine("after"), Written::failed);
  ASSERT_FALSE(output.status().ok());
  EXPECT_EQ(output.status().error().description, "write(standard output): Broken pipe");
  EXPECT_EQ(output.unwritten(), 0u);
  output.close();
  EXPECT_EQ(output.writeLine("closed"), Written::closed);
  sigaction(SIGPIPE, &saved, nullptr);
}

}  // namespace
