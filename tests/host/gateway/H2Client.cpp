#include "tests/host/gateway/H2Client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <nghttp2/nghttp2.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace host::gateway::testing {

int connectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  timeval minute{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &minute, sizeof minute);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &minute, sizeof minute);
  return fd;
}

bool readUntilClosed(int fd, std::string* received) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return got == 0 || errno == ECONNRESET;
    if (received != nullptr) received->append(buffer, static_cast<std::size_t>(got));
  }
}

struct H2Client::Callbacks {
  static H2Client& self(void* user) { return *static_cast<H2Client*>(user); }

  static int header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                    std::size_t nameLength, const std::uint8_t* value, std::size_t valueLength,
                    std::uint8_t, void* user) {
    H2Response& response = self(user).responses_[frame->hd.stream_id];
    const std::string key(reinterpret_cast<const char*>(name), nameLength);
    const std::string text(reinterpret_cast<const char*>(value), valueLength);
    if (key == ":status") response.status = std::atoi(text.c_str());
    response.headers[key] = text;
    return 0;
  }

  static int data(nghttp2_session*, std::uint8_t, std::int32_t id, const std::uint8_t* bytes,
                  std::size_t length, void* user) {
    self(user).responses_[id].body.append(reinterpret_cast<const char*>(bytes), length);
    return 0;
  }

  static int frame(nghttp2_session*, const nghttp2_frame* frame, void* user) {
    H2Client& client = self(user);
    if (frame->hd.type == NGHTTP2_GOAWAY) {
      client.goaway_ = true;
      client.goawayCode_ = frame->goaway.error_code;
      client.goawayLastStream_ = frame->goaway.last_stream_id;
      client.goawayData_.assign(reinterpret_cast<const char*>(frame->goaway.opaque_data),
                                frame->goaway.opaque_data_len);
    } else if (frame->hd.type == NGHTTP2_RST_STREAM) {
      client.responses_[frame->hd.stream_id].reset = true;
    }
    return 0;
  }

  static int closed(nghttp2_session*, std::int32_t id, std::uint32_t, void* user) {
    self(user).responses_[id].closed = true;
    return 0;
  }

  static ssize_t body(nghttp2_session*, std::int32_t id, std::uint8_t* buffer, std::size_t length,
                      std::uint32_t* flags, nghttp2_data_source*, void* user) {
    auto& [bytes, end] = self(user).pendingBodies_[id];
    if (bytes.empty() && !end) return NGHTTP2_ERR_DEFERRED;
    const std::size_t count = std::min(length, bytes.size());
    std::memcpy(buffer, bytes.data(), count);
    bytes.erase(0, count);
    if (bytes.empty() && end) *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(count);
  }
};

std::unique_ptr<H2Client> H2Client::connect(const Options& options, std::string* error) {
  // A gateway that closes first makes the next write raise SIGPIPE, as for the host, which
  // ignores it too.
  signal(SIGPIPE, SIG_IGN);
  std::unique_ptr<H2Client> client(new H2Client());
  const auto fail = [&](const std::string& why) {
    if (error != nullptr) {
      char text[256] = "";
      ERR_error_string_n(ERR_get_error(), text, sizeof text);
      *error = why + ": " + text;
    }
    ERR_clear_error();
    return nullptr;
  };
  client->fd_ = connectLoopback(options.port);
  if (client->fd_ < 0) return fail("connect");
  client->context_ = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(client->context_, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(client->context_, options.authorityFile.c_str(), nullptr) !=
      1) {
    return fail("load_verify_locations");
  }
  std::string wire;
  for (const std::string& protocol : options.alpn) {
    wire.push_back(static_cast<char>(protocol.size()));
    wire += protocol;
  }
  if (!wire.empty()) {
    SSL_CTX_set_alpn_protos(client->context_, reinterpret_cast<const unsigned char*>(wire.data()),
                            static_cast<unsigned>(wire.size()));
  }
  client->ssl_ = SSL_new(client->context_);
  SSL_set_fd(client->ssl_, client->fd_);
  static char kServerName[] = "localhost";
  SSL_ctrl(client->ssl_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, kServerName);
  SSL_set1_host(client->ssl_, "localhost");
  if (SSL_connect(client->ssl_) != 1) return fail("SSL_connect");

  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_session_callbacks_new(&callbacks);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, &Callbacks::header);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &Callbacks::data);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &Callbacks::frame);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &Callbacks::closed);
  nghttp2_option* option = nullptr;
  nghttp2_option_new(&option);
  // The tests send requests the gateway must refuse; this side must not refuse them first.
  nghttp2_option_set_no_http_messaging(option, 1);
  nghttp2_session_client_new2(&client->session_, callbacks, client.get(), option);
  nghttp2_option_del(option);
  nghttp2_session_callbacks_del(callbacks);
  client->speaks_ = options.preface;
  if (options.preface) {
    nghttp2_submit_settings(client->session_, NGHTTP2_FLAG_NONE, nullptr, 0);
    client->flush();
  }
  return client;
}

H2Client::~H2Client() {
  if (session_ != nullptr) nghttp2_session_del(session_);
  if (ssl_ != nullptr) SSL_free(ssl_);
  if (context_ != nullptr) SSL_CTX_free(context_);
  if (fd_ >= 0) ::close(fd_);
  ERR_clear_error();
}

std::uint32_t H2Client::remoteMaxStreams() const {
  return nghttp2_session_get_remote_settings(session_, NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS);
}

std::string H2Client::alpn() const {
  const unsigned char* data = nullptr;
  unsigned int length = 0;
  SSL_get0_alpn_selected(ssl_, &data, &length);
  return data == nullptr ? "" : std::string(reinterpret_cast<const char*>(data), length);
}

std::int32_t H2Client::push(const std::string& deviceToken, const std::string& body,
                            const std::vector<std::pair<std::string, std::string>>& headers,
                            bool endStream) {
  std::vector<std::pair<std::string, std::string>> all = {{":method", "POST"},
                                                          {":scheme", "https"},
                                                          {":authority", "localhost"},
                                                          {":path", "/3/device/" + deviceToken}};
  all.insert(all.end(), headers.begin(), headers.end());
  std::vector<nghttp2_nv> fields;
  for (const auto& [name, value] : all) {
    fields.push_back({reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
                      reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
                      value.size(), NGHTTP2_NV_FLAG_NONE});
  }
  nghttp2_data_provider provider{};
  provider.read_callback = &Callbacks::body;
  const bool hasBody = !body.empty() || !endStream;
  const std::int32_t id = nghttp2_submit_request(session_, nullptr, fields.data(), fields.size(),
                                                 hasBody ? &provider : nullptr, nullptr);
  if (hasBody) pendingBodies_[id] = {body, endStream};
  flush();
  return id;
}

void H2Client::sendData(std::int32_t stream, const std::string& bytes, bool endStream) {
  auto& [pending, end] = pendingBodies_[stream];
  pending += bytes;
  end = endStream;
  nghttp2_session_resume_data(session_, stream);
  flush();
}

void H2Client::reset(std::int32_t stream) {
  nghttp2_submit_rst_stream(session_, NGHTTP2_FLAG_NONE, stream, NGHTTP2_CANCEL);
}

bool H2Client::writeRaw(const std::string& bytes) {
  if (SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) > 0) return true;
  ERR_clear_error();
  closed_ = true;
  return false;
}

bool H2Client::flush() {
  if (!speaks_) return true;
  for (;;) {
    const std::uint8_t* data = nullptr;
    const ssize_t length = nghttp2_session_mem_send(session_, &data);
    if (length <= 0) return length == 0;
    for (ssize_t written = 0; written < length;) {
      const int put = SSL_write(ssl_, data + written, static_cast<int>(length - written));
      if (put <= 0) {
        ERR_clear_error();
        closed_ = true;
        return false;
      }
      written += put;
    }
  }
}

bool H2Client::readOnce(int timeoutMs) {
  if (SSL_pending(ssl_) == 0) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) <= 0) return true;
  }
  std::uint8_t buffer[16384];
  const int got = SSL_read(ssl_, buffer, sizeof buffer);
  if (got <= 0) {
    ERR_clear_error();
    closed_ = true;
    // The gateway's end: this side ends too, as providers do.
    ::shutdown(fd_, SHUT_WR);
    return false;
  }
  if (nghttp2_session_mem_recv(session_, buffer, static_cast<std::size_t>(got)) < 0) {
    closed_ = true;
    return false;
  }
  return true;
}

bool H2Client::pumpUntil(const std::function<bool()>& done) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (closed_ || Clock::now() > deadline) return done();
    flush();
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    readOnce(static_cast<int>(std::clamp<long long>(left, 0, 1000)));
  }
  return true;
}

void H2Client::pumpAvailable() {
  flush();
  while (!closed_) {
    pollfd ready{fd_, POLLIN, 0};
    if (SSL_pending(ssl_) == 0 && poll(&ready, 1, 0) <= 0) return;
    readOnce(0);
  }
}

const H2Response& H2Client::awaitResponse(std::int32_t stream) {
  pumpUntil([&] { return responses_[stream].closed; });
  return responses_[stream];
}

RawExchange rawExchange(int port, const std::string& bytes) {
  RawExchange exchange;
  const int fd = connectLoopback(port);
  if (fd < 0) return exchange;
  exchange.peerClosed = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0;
  exchange.peerClosed = readUntilClosed(fd, &exchange.received) || exchange.peerClosed;
  ::close(fd);
  return exchange;
}

}  // namespace host::gateway::testing
