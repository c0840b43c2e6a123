// TestServer: a loopback HTTP server (cpp-httplib on 127.0.0.1, port 0) in the test
// process, with routes for the cases the extension meets in the field. It serves on its own
// threads from construction to destruction; every member is thread-safe.
//
//   /image.png, /image.gif, /pic.jpg (any query)   a small valid image of that type
//   /images/<anything>.png                          the PNG
//   /status/<code>                                  that status with an HTML body
//   /pages/<anything>                               an HTML page of kPageBytes
//   /deflate.png                                    the PNG, compressed (Content-Encoding)
//   /empty                                          200 with a zero-byte body
//   /gate/<name>                                    the PNG, once openGate(name) was called
//                                                   (/gate/never: never)
//   /reset                                          declares 100000 bytes, closes after the
//                                                   first 1 KiB
//   /cut.png                                        the PNG without its last chunk, no length:
//                                                   the body ends as the connection closes
//   /trickle                                        one byte every 100 ms, never ending
//   /big, /big-declared                             kBigBodyBytes, chunked or with a length
//   /redirect?to=<url>, /redirect-loop              302 to <url>, or to itself
//   /files/<name>                                   the bytes serveFile(name) was given
#pragma once

#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

namespace httplib {
class Server;
}

namespace testing_support {

// A bit over the URL session's default cap of 16 MiB.
inline constexpr std::size_t kBigBodyBytes = 17u * 1024u * 1024u + 4321u;

// The size of each page under /pages/.
inline constexpr std::size_t kPageBytes = 1u << 20;

// Small valid images, byte for byte what the routes serve.
const std::string& pngBytes();
const std::string& jpegBytes();
const std::string& gifBytes();

class TestServer {
 public:
  TestServer();
  // Opens every gate before stopping, so no handler is left blocked.
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // "http://127.0.0.1:<port>" + path
  std::string url(std::string_view path) const;
  // Lets requests waiting on /gate/<name> (and later ones) through.
  void openGate(const std::string& name);
  // Blocks until `count` requests have reached /gate/<name>; false after a minute.
  bool waitForGateArrivals(const std::string& name, int count);
  // Requests served so far on a path (without its query).
  int hits(const std::string& path) const;
  // Serves `bytes` at /files/<name> from now on.
  void serveFile(const std::string& name, std::string bytes);

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::set<std::string> openGates_;           // guarded by mu_
  std::map<std::string, int> arrivals_;       // guarded by mu_
  std::map<std::string, int> hits_;           // guarded by mu_
  std::map<std::string, std::string> files_;  // guarded by mu_
  bool stopping_ = false;                     // guarded by mu_
};

}  // namespace testing_support
