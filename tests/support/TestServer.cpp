#include "tests/support/TestServer.hpp"

#include <httplib.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace testing_support {

namespace {

// Each image decodes as a 1x1 picture (ImageMagick's `convert FILE info:`, without warnings).
constexpr char kPng[] =
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x01\x00\x00"
    "\x00\x01\x08\x02\x00\x00\x00\x90\x77\x53\xde\x00\x00\x00\x0c\x49\x44\x41\x54\x78\xda\x63"
    "\x78\x90\xa0\x00\x00\x03\x84\x01\x61\x4b\xad\x64\x26\x00\x00\x00\x00\x49\x45\x4e\x44\xae"
    "\x42\x60\x82";

// Baseline JFIF, one grey component: SOI, APP0, DQT, SOF0, two one-code DHTs, SOS, one
// entropy-coded block, EOI.
constexpr char kJpeg[] =
    "\xff\xd8\xff\xe0\x00\x10\x4a\x46\x49\x46\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00\xff\xdb"
    "\x00\x43\x00\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01"
    "\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01"
    "\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01"
    "\x01\xff\xc0\x00\x0b\x08\x00\x01\x00\x01\x01\x01\x11\x00\xff\xc4\x00\x14\x00\x01\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xff\xc4\x00\x14\x10\x01\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xff\xda\x00\x08\x01\x01\x00\x00"
    "\x3f\x00\x3f\xff\xd9";

constexpr char kGif[] =
    "\x47\x49\x46\x38\x39\x61\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00\x21\xf9\x04"
    "\x01\x00\x00\x00\x00\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00\x3b";

// The literals' terminating zeros are not part of the images.
const std::string kPngImage(kPng, sizeof kPng - 1);
const std::string kJpegImage(kJpeg, sizeof kJpeg - 1);
const std::string kGifImage(kGif, sizeof kGif - 1);

// Writes at most `length` bytes of filler, in slices of 64 KiB.
bool writeFiller(std::size_t length, httplib::DataSink& sink) {
  static const std::string block(64 * 1024, 'x');
  return sink.write(block.data(), std::min(length, block.size()));
}

}  // namespace

const std::string& pngBytes() { return kPngImage; }
const std::string& jpegBytes() { return kJpegImage; }
const std::string& gifBytes() { return kGifImage; }

TestServer::TestServer() : server_(std::make_unique<httplib::Server>()) {
  httplib::Server& s = *server_;
  // A request held at a gate holds a worker, so the pool is generous.
  s.new_task_queue = [] { return new httplib::ThreadPool(32); };
  // An idle kept-alive connection holds a worker this long, and stop() waits for it.
  s.set_keep_alive_timeout(1);
  // Headers and body go out in separate writes; Nagle would hold the body for an ACK.
  s.set_tcp_nodelay(true);
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
    std::lock_guard<std::mutex> lock(mu_);
    ++hits_[req.path];
    return httplib::Server::HandlerResponse::Unhandled;
  });

  auto serve = [](const std::string& bytes, const char* type) {
    return [&bytes, type](const httplib::Request&, httplib::Response& res) {
      res.set_content(bytes, type);
    };
  };
  s.Get(R"(/image\.png|/images/.+\.png)", serve(pngBytes(), "image/png"));
  s.Get("/image.gif", serve(gifBytes(), "image/gif"));
  s.Get(R"(/pages/.+)", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("<html>" + std::string(kPageBytes - 13, ' ') + "</html>", "text/html");
  });
  s.Get("/pic.jpg", serve(jpegBytes(), "image/jpeg"));
  s.Get("/deflate.png", [](const httplib::Request&, httplib::Response& res) {
    std::string packed(compressBound(pngBytes().size()), '\0');
    uLongf size = packed.size();
    compress(reinterpret_cast<Bytef*>(packed.data()), &size,
             reinterpret_cast<const Bytef*>(pngBytes().data()), pngBytes().size());
    packed.resize(size);
    res.set_header("Content-Encoding", "deflate");
    res.set_content(packed, "image/png");
  });
  s.Get("/empty",
        [](const httplib::Request&, httplib::Response& res) { res.set_content("", "image/png"); });
  s.Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    res.status = std::atoi(req.matches[1].str().c_str());
    res.set_content("<html><body><h1>" + req.matches[1].str() + "</h1></body></html>", "text/html");
  });
  s.Get("/gate/([^/]+)", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string name = req.matches[1];
    {
      std::unique_lock<std::mutex> lock(mu_);
      ++arrivals_[name];
      cv_.notify_all();
      cv_.wait(lock, [&] { return openGates_.count(name) != 0 || stopping_; });
    }
    res.set_content(pngBytes(), "image/png");
  });
  s.Get("/reset", [](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(
        100000, "image/png", [](std::size_t, std::size_t, httplib::DataSink& sink) {
          const std::string head = pngBytes() + std::string(1024 - pngBytes().size(), 'x');
          sink.write(head.data(), head.size());
          return false;  // httplib drops the connection mid-body
        });
  });
  s.Get("/cut.png", [](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider("image/png", [](std::size_t, httplib::DataSink& sink) {
      sink.write(pngBytes().data(), pngBytes().size() - 12);  // all but IEND
      return false;  // httplib drops the connection, which ends a body without a length
    });
  });
  s.Get("/big", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("image/png", [](std::size_t offset, httplib::DataSink& sink) {
      if (offset < kBigBodyBytes) return writeFiller(kBigBodyBytes - offset, sink);
      sink.done();
      return true;
    });
  });
  s.Get("/big-declared", [](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(kBigBodyBytes, "image/png",
                             [](std::size_t, std::size_t length, httplib::DataSink& sink) {
                               return writeFiller(length, sink);
                             });
  });
  // Fast enough for any idle time-out, so only a deadline ends it; it stops with the server.
  s.Get("/trickle", [this](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("image/png", [this](std::size_t, httplib::DataSink& sink) {
      std::unique_lock<std::mutex> lock(mu_);
      if (cv_.wait_for(lock, std::chrono::milliseconds(100), [&] { return stopping_; })) {
        return false;
      }
      lock.unlock();
      return sink.write("x", 1);
    });
  });
  s.Get("/redirect", [](const httplib::Request& req, httplib::Response& res) {
    res.set_redirect(req.get_param_value("to"), 302);
  });
  s.Get("/redirect-loop", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/redirect-loop", 302);
  });
  s.Get("/files/(.+)", [this](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = files_.find(req.matches[1]);
    if (it == files_.end()) {
      res.status = 404;
      return;
    }
    res.set_content(it->second, "application/octet-stream");
  });

  port_ = s.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) {
    std::fprintf(stderr, "TestServer: cannot bind 127.0.0.1\n");
    std::abort();
  }
  thread_ = std::thread([&s] { s.listen_after_bind(); });
  // stop() does nothing before the accept loop has started, so wait for it here.
  while (!s.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestServer::~TestServer() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  server_->stop();
  thread_.join();
}

std::string TestServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void TestServer::openGate(const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    openGates_.insert(name);
  }
  cv_.notify_all();
}

bool TestServer::waitForGateArrivals(const std::string& name, int count) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return arrivals_[name] >= count; });
}

int TestServer::hits(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = hits_.find(path);
  return it == hits_.end() ? 0 : it->second;
}

void TestServer::serveFile(const std::string& name, std::string bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  files_[name] = std::move(bytes);
}

}  // namespace testing_support
