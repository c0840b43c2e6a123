#include "Foundation/URLSessionTransfer.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "Foundation/CurlError.hpp"

namespace foundation {

namespace {

// libcurl's receive buffer per transfer (docs/benchmarks.md, "What was measured before, and
// what changed").
constexpr long kReceiveBufferBytes = 64 * 1024;

// "image/png; charset=x" -> "image/png"
std::string mimeTypeOf(const char* contentType) {
  if (contentType == nullptr) return {};
  std::string_view text(contentType);
  text = text.substr(0, text.find(';'));
  const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  std::string type(text);
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return type;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

TrustStore TrustStore::fromEnvironment() {
  return {environment("SSL_CERT_FILE"), environment("SSL_CERT_DIR")};
}

Status Transfer::prepare(const URLSessionConfiguration& configuration, const TrustStore& trust) {
  easy = curl_easy_init();
  if (easy == nullptr) {
    return NSError{NSURLErrorDomain, NSURLErrorUnknown, "curl_easy_init: out of memory"};
  }
  CURL* e = easy;
  maximumBodyBytes = configuration.maximumBodyBytes;
  const long timeout = static_cast<long>(configuration.timeoutIntervalForRequest.count());
  const auto deadline = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              configuration.timeoutIntervalForResource)
                                              .count());
  const auto cap = static_cast<curl_off_t>(
      std::min<std::size_t>(configuration.maximumBodyBytes,
                            static_cast<std::size_t>(std::numeric_limits<curl_off_t>::max())));
  // Each option is checked: a libcurl that ignored the protocol limits would fetch file://.
  CURLcode rc = CURLE_OK;
  auto set = [&rc](CURLcode r) {
    if (rc == CURLE_OK) rc = r;
  };
  set(curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorBuffer));
  set(curl_easy_setopt(e, CURLOPT_PRIVATE, this));
  set(curl_easy_setopt(e, CURLOPT_URL, url.c_str()));
  set(curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L));
  set(curl_easy_setopt(e, CURLOPT_MAXREDIRS, configuration.maximumRedirects));
  set(curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, timeout));
  // A transfer fails once it has received nothing for the whole time-out.
  set(curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L));
  set(curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, timeout));
  // A server trickling just above that rate must not hold a connection, and with it every later
  // transfer to that host, for as long as the body cap allows: each transfer also has a
  // deadline from its start.
  set(curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, deadline));
  // Refuses a declared Content-Length over the cap before any of the body arrives.
  set(curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, cap));
  set(curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBufferBytes));
  set(curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::write));
  set(curl_easy_setopt(e, CURLOPT_WRITEDATA, this));
  set(curl_easy_setopt(e, CURLOPT_USERAGENT, "HalvicourtNotificationService/1.0"));
  // As the platform's session does: compressed bodies are asked for and decoded, so a server
  // that compresses an image hands over the image. The cap above counts decoded bytes.
  set(curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, ""));
  set(curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)));
  set(curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS)));
  // A second transfer to a host whose first connection is still being set up waits to learn
  // whether it can share it, rather than opening another. Plain http never multiplexes, so
  // there it would only wait.
  if (url.starts_with("https:")) set(curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L));
  // libcurl has its trust store built in; OpenSSL's variables point elsewhere only when set.
  if (!trust.file.empty()) set(curl_easy_setopt(e, CURLOPT_CAINFO, trust.file.c_str()));
  if (!trust.directory.empty()) set(curl_easy_setopt(e, CURLOPT_CAPATH, trust.directory.c_str()));
  if (rc != CURLE_OK) return curlError("curl_easy_setopt", rc, errorBuffer);
  return {};
}

void Transfer::restart() {
  errorBuffer[0] = '\0';
  reserved_ = false;
}

std::size_t Transfer::write(char* data, std::size_t size, std::size_t count, void* context) {
  auto* t = static_cast<Transfer*>(context);
  const std::size_t n = size * count;
  if (n > t->maximumBodyBytes - t->body.count()) {
    t->overCap = true;
    return 0;  // fails the transfer with CURLE_WRITE_ERROR
  }
  if (!t->reserved_) {
    t->reserved_ = true;
    curl_off_t declared = -1;
    if (curl_easy_getinfo(t->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared) == CURLE_OK &&
        declared > 0 && static_cast<std::uint64_t>(declared) <= t->maximumBodyBytes) {
      t->body.reserve(static_cast<std::size_t>(declared));
    }
  }
  t->body.append(data, n);
  return n;
}

long Transfer::status() const {
  long code = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
  return code;
}

long Transfer::proxyStatus() const {
  long code = 0;
  curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &code);
  return code;
}

std::optional<HTTPURLResponse> Transfer::response() const {
  const long code = status();
  if (code == 0) return std::nullopt;
  HTTPURLResponse r;
  r.statusCode = code;
  char* effective = nullptr;
  r.url = curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
                  effective != nullptr
              ? std::string(effective)
              : url;
  char* contentType = nullptr;
  curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &contentType);
  r.mimeType = mimeTypeOf(contentType);
  curl_off_t length = -1;
  if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
    r.expectedContentLength = static_cast<long long>(length);
  }
  return r;
}

}  // namespace foundation
