// TestServer: a loopback HTTP server (cpp-httplib on 127.0.0.1, port 0) in the test
// process, with routes for the cases the extension meets in the field. It runs on its own
// threads from construction to destruction; the accessors are thread-safe.
//
// Routes:
//   /image.png, /image.jpg, /image.gif                a small valid image of that type
//   /images/<anything>.png                             the PNG (any path, any query)
//   /pic.jpg (any query)                               the JPEG
//   /status/<code>                                     that status with an HTML body
//   /empty                                             200 with a zero-byte body
//   /gate/<name>                                       the PNG, once openGate(name) was called
//   /never                                             accepts, reads the request, never answers
//   /reset                                             declares 100000 bytes, sends 1000, closes
//   /big                                               chunked body of kBigBodyBytes
//   /big-declared                                      kBigBodyBytes with Content-Length
//   /redirect?to=<url>                                 302 to <url>
//   /redirect-loop                                     302 to itself, forever
//   /html.png                                          an HTML page served as image/png
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
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

// Bodies of /big and /big-declared: 1 MiB and a bit over the session's default cap.
inline constexpr std::size_t kBigBodyBytes = 17u * 1024u * 1024u + 4321u;
// What /reset declares, and what it sends before it closes the connection.
inline constexpr std::size_t kResetDeclaredBytes = 100000;
inline constexpr std::size_t kResetSentBytes = 1000;

// Small valid images, byte for byte what the routes serve.
const std::string& pngBytes();
const std::string& jpegBytes();
const std::string& gifBytes();
const std::string& webpBytes();

class TestServer {
 public:
  // `extraRoutes` may add routes before the server starts listening.
  explicit TestServer(std::function<void(httplib::Server&)> extraRoutes = {});
  // Opens every gate and releases /never before stopping, so no handler is left blocked.
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + path
  std::string url(std::string_view path) const;

  // Lets requests waiting on /gate/<name> (and later ones) through.
  void openGate(const std::string& name);
  // Blocks until `count` requests have reached /gate/<name>; false after `timeout`.
  bool waitForGateArrivals(const std::string& name, int count,
                           std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Requests served so far on a path (without its query).
  int hits(const std::string& path) const;

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::set<std::string> openGates_;      // guarded by mu_
  std::map<std::string, int> arrivals_;  // guarded by mu_
  std::map<std::string, int> hits_;      // guarded by mu_
  bool stopping_ = false;                // guarded by mu_
};

}  // namespace testing_support
