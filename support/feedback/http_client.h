// A minimal HTTPS client for posting JSON to the product's web service.
//
// HTTPClient is the seam: FeedbackClient talks to it, tests substitute canned
// answers. CurlHTTPClient is the one real implementation, on libcurl.
#pragma once

#include <atomic>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace choralink {

struct HTTPResponse {
  // The HTTP status code; 0 when the answer was not an HTTP response.
  int status = 0;
  std::string body;

  bool operator==(const HTTPResponse&) const = default;
};

// Why a request produced no response. what() is a readable description.
class HTTPError : public std::runtime_error {
 public:
  enum class Kind {
    network,         // payload: the transport's description of the failure
    hostNotAllowed,  // payload: the refused URL's host, or the whole URL text
  };

  static HTTPError network(std::string description);
  static HTTPError hostNotAllowed(std::string hostOrURL);

  Kind kind() const { return kind_; }
  const std::string& payload() const { return payload_; }

  bool operator==(const HTTPError& other) const {
    return kind_ == other.kind_ && payload_ == other.payload_;
  }

 private:
  HTTPError(Kind kind, std::string payload, const std::string& description);

  Kind kind_;
  std::string payload_;
};

class HTTPClient {
 public:
  virtual ~HTTPClient() = default;

  // Posts `body` (a JSON document) to `url` and waits for the whole answer,
  // at most `timeoutSeconds`. Every HTTP status, 4xx and 5xx included, is a
  // returned response; a refused URL or a transport failure throws HTTPError.
  // Blocks the calling thread: call it off the user-interface thread.
  virtual HTTPResponse postJSON(const std::string& url, std::string_view body,
                                double timeoutSeconds) = 0;

  // Fetches `url` with GET under the same rules as postJSON. A body longer
  // than `maxBytes` is cut off as soon as it grows past the limit and the
  // request throws HTTPError::network("Response too large"), so a server can
  // never make the caller hold more than it expected.
  // Setting `*abort` (from any thread) ends the request soon after with
  // HTTPError::network("Aborted").
  virtual HTTPResponse get(const std::string& url, double timeoutSeconds, std::size_t maxBytes,
                           const std::atomic<bool>* abort = nullptr) = 0;
};

// HTTPS only, to an explicit set of hosts, with nothing kept between requests
// (no cookies, no cache, no stored credentials, no connection reuse). Every
// redirect is decided here rather than by libcurl: it is followed only to
// HTTPS on an allowed host; otherwise the redirect response itself is
// returned. No mutable state after construction: one instance serves
// concurrent requests from several threads.
class CurlHTTPClient final : public HTTPClient {
 public:
  // How requests reach the network. The defaults are what the application
  // uses; tests pin host names to loopback and trust their own certificate.
  struct Transport {
    // When not empty, the only certificate authorities trusted (PEM), in
    // place of the system's store.
    std::string trustedCertificatesPEM;
    // libcurl "host:port:address" entries that bypass name resolution.
    std::vector<std::string> pinnedAddresses;
    // libcurl "host:port:connect-host:connect-port" entries: the request keeps
    // its URL (and the certificate check its host name) but connects
    // elsewhere, so a test server on a free port can stand in for port 443.
    std::vector<std::string> connectTo;
    // Ignore proxy settings from the environment.
    bool direct = false;
    // The product version sent in the User-Agent header; empty means
    // AppInfo::version().
    std::string appVersion;
  };

  // Redirects followed for one request before it fails.
  static constexpr int maxRedirects = 10;
  // Largest response body accepted; a longer answer fails as a network error.
  static constexpr std::size_t maxResponseBytes = 1048576;

  explicit CurlHTTPClient(const std::set<std::string>& allowedHosts);
  CurlHTTPClient(const std::set<std::string>& allowedHosts, Transport transport);

  // True exactly for an https URL (scheme compared without case) whose host,
  // lower-cased, is one of the allowed hosts. Port, path and query are not
  // looked at.
  bool isAllowed(std::string_view url) const;

  const std::set<std::string>& allowedHosts() const { return allowedHosts_; }

  HTTPResponse postJSON(const std::string& url, std::string_view body,
                        double timeoutSeconds) override;
  HTTPResponse get(const std::string& url, double timeoutSeconds, std::size_t maxBytes,
                   const std::atomic<bool>* abort = nullptr) override;

 private:
  // One exchange with its redirects; a null `body` makes it a GET.
  HTTPResponse exchange(const std::string& url, const std::string_view* body, double timeoutSeconds,
                        std::size_t maxBytes, const std::atomic<bool>* abort);

  std::set<std::string> allowedHosts_;
  Transport transport_;
};

}  // namespace choralink
