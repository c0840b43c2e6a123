// H2Client: a provider's connection to the gateway for the tests that need control of the
// frames: OpenSSL's client over a blocking loopback socket and libnghttp2's client session
// over that. It sends requests, bodies in pieces, resets and raw bytes, and pumps the
// connection until what the test waits for has happened (or a minute has passed). Also a
// plain TCP connection, for bytes that are not TLS at all. From the first connection on, the
// test process ignores SIGPIPE, as the host does. Not thread-safe; one owner.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;
struct nghttp2_session;

namespace host::gateway::testing {

struct H2Response {
  int status = 0;
  std::map<std::string, std::string> headers;
  std::string body;
  bool closed = false;  // the stream ended, by its answer or a reset
  bool reset = false;   // the gateway reset it
};

class H2Client {
 public:
  struct Options {
    int port = 0;
    std::string authorityFile;               // the gateway's authority, to verify it
    std::vector<std::string> alpn = {"h2"};  // empty: offer none
    bool preface = true;  // false: send nothing after the handshake (writeRaw does)
  };
  // Connects and shakes hands; `error` says why not when it gives null.
  static std::unique_ptr<H2Client> connect(const Options& options, std::string* error = nullptr);
  ~H2Client();
  H2Client(const H2Client&) = delete;
  H2Client& operator=(const H2Client&) = delete;

  // A POST /3/device/<token> with `headers` added, on a new stream; without `endStream`, more
  // body may follow (sendData).
  std::int32_t push(const std::string& deviceToken, const std::string& body,
                    const std::vector<std::pair<std::string, std::string>>& headers = {},
                    bool endStream = true);
  void sendData(std::int32_t stream, const std::string& bytes, bool endStream);
  void reset(std::int32_t stream);
  // Bytes written over TLS as they are, bypassing HTTP/2.
  bool writeRaw(const std::string& bytes);
  // Writes what the session has queued.
  bool flush();

  // Pumps the connection until `done` says yes (true), or it closes or a minute passes.
  bool pumpUntil(const std::function<bool()>& done);
  // Writes what is queued and reads what has already arrived, without waiting.
  void pumpAvailable();
  // Until the stream's answer (or reset) has arrived.
  const H2Response& awaitResponse(std::int32_t stream);

  std::map<std::int32_t, H2Response>& responses() { return responses_; }
  bool goawayReceived() const { return goaway_; }
  const std::string& goawayData() const { return goawayData_; }
  std::uint32_t goawayCode() const { return goawayCode_; }
  std::int32_t goawayLastStream() const { return goawayLastStream_; }
  bool closed() const { return closed_; }
  // The gateway's SETTINGS_MAX_CONCURRENT_STREAMS, as last received.
  std::uint32_t remoteMaxStreams() const;
  std::string alpn() const;

  struct Callbacks;

 private:
  H2Client() = default;
  bool readOnce(int timeoutMs);

  int fd_ = -1;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  nghttp2_session* session_ = nullptr;
  std::map<std::int32_t, H2Response> responses_;
  std::map<std::int32_t, std::pair<std::string, bool>> pendingBodies_;
  bool goaway_ = false;
  std::string goawayData_;
  std::uint32_t goawayCode_ = 0;
  std::int32_t goawayLastStream_ = 0;
  bool closed_ = false;
  bool speaks_ = true;  // HTTP/2 goes out (Options::preface)
};

// A plain TCP connection to 127.0.0.1:`port` whose reads wait a minute at most; -1 when refused.
int connectLoopback(int port);
// Reads `fd` until the peer closes (true) or a read fails or times out (false); what came is
// appended to `received`.
bool readUntilClosed(int fd, std::string* received = nullptr);
// connectLoopback, then writes `bytes` and reads until the peer closes: what came back, and
// whether the peer closed.
struct RawExchange {
  std::string received;
  bool peerClosed = false;
};
RawExchange rawExchange(int port, const std::string& bytes);

}  // namespace host::gateway::testing
