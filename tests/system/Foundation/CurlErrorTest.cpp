#include "Foundation/CurlError.hpp"

#include <gtest/gtest.h>

#include "Foundation/URLSession.hpp"

namespace {

// The codes callers branch on, and the words: libcurl's, except where they would mislead.
TEST(CurlError, EachFailureHasTheCodeItsCallersBranchOnAndSaysWhy) {
  struct Row {
    CURLcode code;
    long urlCode;
    const char* says;
  } const rows[] = {
      {CURLE_OPERATION_TIMEDOUT, NSURLErrorTimedOut, "Timeout was reached (CURLcode 28)"},
      {CURLE_TOO_MANY_REDIRECTS, NSURLErrorHTTPTooManyRedirects, "(CURLcode 47)"},
      {CURLE_COULDNT_RESOLVE_HOST, NSURLErrorCannotFindHost, "(CURLcode 6)"},
      {CURLE_COULDNT_RESOLVE_PROXY, NSURLErrorCannotFindHost, "(CURLcode 5)"},
      {CURLE_COULDNT_CONNECT, NSURLErrorCannotConnectToHost, "(CURLcode 7)"},
      {CURLE_PARTIAL_FILE, NSURLErrorNetworkConnectionLost, "(CURLcode 18)"},
      {CURLE_RECV_ERROR, NSURLErrorNetworkConnectionLost, "(CURLcode 56)"},
      {CURLE_SEND_ERROR, NSURLErrorNetworkConnectionLost, "(CURLcode 55)"},
      {CURLE_GOT_NOTHING, NSURLErrorNetworkConnectionLost, "(CURLcode 52)"},
      {CURLE_HTTP2, NSURLErrorNetworkConnectionLost, "(CURLcode 16)"},
      {CURLE_HTTP2_STREAM, NSURLErrorNetworkConnectionLost, "(CURLcode 92)"},
      {CURLE_UNSUPPORTED_PROTOCOL, NSURLErrorUnsupportedURL, "(CURLcode 1)"},
      {CURLE_URL_MALFORMAT, NSURLErrorBadURL, "(CURLcode 3)"},
      {CURLE_FILESIZE_EXCEEDED, NSURLErrorDataLengthExceedsMaximum, "(CURLcode 63)"},
      {CURLE_SSL_CONNECT_ERROR, NSURLErrorSecureConnectionFailed, "(CURLcode 35)"},
      {CURLE_PEER_FAILED_VERIFICATION, NSURLErrorServerCertificateUntrusted, "(CURLcode 60)"},
      {CURLE_SSL_CACERT_BADFILE, NSURLErrorServerCertificateUntrusted, "(CURLcode 77)"},
      {CURLE_ABORTED_BY_CALLBACK, NSURLErrorCancelled, "(CURLcode 42)"},
      {CURLE_WRITE_ERROR, NSURLErrorUnknown, "(CURLcode 23)"},
      // An input over one of libcurl's size limits, not a machine out of memory.
      {CURLE_OUT_OF_MEMORY, NSURLErrorUnknown, "is longer than libcurl takes (CURLcode 27)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(curl_easy_strerror(row.code));
    const NSError error = foundation::curlError("GET http://h/x", row.code, "the detail");
    EXPECT_EQ(error.domain, NSURLErrorDomain);
    EXPECT_EQ(error.code, row.urlCode);
    EXPECT_TRUE(error.description.starts_with("GET http://h/x: ")) << error.description;
    EXPECT_NE(error.description.find(row.says), std::string::npos) << error.description;
    EXPECT_TRUE(error.description.ends_with(": the detail")) << error.description;
  }
  EXPECT_EQ(foundation::curlReason(CURLE_OPERATION_TIMEDOUT, ""),
            "Timeout was reached (CURLcode 28)");
}

}  // namespace
