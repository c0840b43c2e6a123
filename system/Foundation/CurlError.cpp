#include "Foundation/CurlError.hpp"

#include "Foundation/URLSession.hpp"

namespace foundation {

long urlErrorCode(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return NSURLErrorTimedOut;
    case CURLE_TOO_MANY_REDIRECTS:
      return NSURLErrorHTTPTooManyRedirects;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return NSURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return NSURLErrorCannotConnectToHost;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return NSURLErrorNetworkConnectionLost;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return NSURLErrorUnsupportedURL;
    case CURLE_URL_MALFORMAT:
      return NSURLErrorBadURL;
    case CURLE_FILESIZE_EXCEEDED:
      return NSURLErrorDataLengthExceedsMaximum;
    case CURLE_SSL_CONNECT_ERROR:
      return NSURLErrorSecureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      return NSURLErrorServerCertificateUntrusted;
    case CURLE_ABORTED_BY_CALLBACK:
      return NSURLErrorCancelled;
    default:
      return NSURLErrorUnknown;
  }
}

NSError curlError(const std::string& call, CURLcode code, std::string_view detail) {
  return NSError{NSURLErrorDomain, urlErrorCode(code), call + ": " + curlReason(code, detail)};
}

std::string curlReason(CURLcode code, std::string_view detail) {
  // libcurl keeps what it builds and what it receives in buffers of bounded size (a request of
  // 1 MiB, a header line of 100 KiB), and reports one that would grow past its bound as out of
  // memory; a machine out of memory says so in no other way here.
  std::string reason = code == CURLE_OUT_OF_MEMORY
                           ? "the address, a response header line or a redirect target is "
                             "longer than libcurl takes"
                           : curl_easy_strerror(code);
  reason += " (CURLcode " + std::to_string(static_cast<int>(code)) + ")";
  if (!detail.empty()) {
    reason += ": ";
    reason += detail;
  }
  return reason;
}

NSError cancelledError() {
  return NSError{NSURLErrorDomain, NSURLErrorCancelled, "cancelled: the session was invalidated"};
}

}  // namespace foundation
