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
  // The smallest a pipe holds by default: one line fills it.
  explicit Pipe(int size = 4096) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    read = base::FileDescriptor(fds[0]);
    write = base::FileDescriptor(fds[1]);
    fcntl(write.get(), F_SETPIPE_SZ, size);
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

// What the pipe holds now.
std::string readAvailable(const Pipe& pipe) {
  fcntl(pipe.read.get(), F_SETFL, O_NONBLOCK);
  std::string text;
  char buffer[8192];
  ssize_t got = 0;
  while ((got = ::read(pipe.read.get(), buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// The host thread holds its lines while it starts a burst of requests: they go out at its
// flush, or before a line of another thread, so that the file has them in the order of the
// calls; the close writes what is still held, and a stop that gives up counts each one.
TEST(Output, HeldLinesKeepTheOrderOfTheCalls) {
  Pipe pipe(64 * 1024);  // a one-page pipe is not writable again until it is read
  std::unique_ptr<host::Stop> stop = *host::Stop::make();
  host::Output output(pipe.write.get(), *stop);
  output.hold();
  EXPECT_EQ(output.writeLine("a"), Written::yes);
  EXPECT_EQ(output.writeLine("b"), Written::yes);
  EXPECT_EQ(readAvailable(pipe), "");
  std::thread other([&] { EXPECT_EQ(output.writeLine("c"), Written::yes); });
  other.join();
  EXPECT_EQ(readAvailable(pipe), "a\nb\nc\n");
  EXPECT_EQ(output.writeLine("d"), Written::yes);
  EXPECT_EQ(readAvailable(pipe), "");
  EXPECT_EQ(output.flush(), Written::yes);
  EXPECT_EQ(output.writeLine("e"), Written::yes);  // no longer held
  EXPECT_EQ(readAvailable(pipe), "d\ne\n");
  output.hold();
  EXPECT_EQ(output.writeLine("f"), Written::yes);
  output.close();
  EXPECT_EQ(readAvailable(pipe), "f\n");

  Pipe full;  // nobody reads it
  host::Output blocked(full.write.get(), *stop, std::chrono::milliseconds(0));
  stop->request();
  stop->request();
  blocked.hold();
  EXPECT_EQ(blocked.writeLine(kLine), Written::yes);
  EXPECT_EQ(blocked.writeLine("later"), Written::yes);
  EXPECT_EQ(blocked.flush(), Written::failed);
  EXPECT_EQ(blocked.unwritten(), 2u);
}

}  // namespace
