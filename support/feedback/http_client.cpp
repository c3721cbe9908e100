#include "support/feedback/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>

#include "support/app_info.h"

namespace choralink {
namespace {

using Clock = std::chrono::steady_clock;

struct UrlParts {
  std::optional<std::string> scheme;
  std::optional<std::string> host;
};

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The same parser libcurl uses for the request itself, so that the host we
// check is the host it would connect to.
UrlParts parseUrl(std::string_view url) {
  UrlParts parts;
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curl_url(), &curl_url_cleanup);
  if (!handle) return parts;
  const std::string text(url);
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
      CURLUE_OK) {
    return parts;
  }
  auto get = [&](CURLUPart part) -> std::optional<std::string> {
    char* value = nullptr;
    if (curl_url_get(handle.get(), part, &value, 0) != CURLUE_OK || value == nullptr) {
      return std::nullopt;
    }
    std::string result(value);
    curl_free(value);
    if (result.empty()) return std::nullopt;
    return result;
  };
  parts.scheme = get(CURLUPART_SCHEME);
  parts.host = get(CURLUPART_HOST);
  return parts;
}

void initialiseCurlOnce() {
  static const bool initialised = [] {
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  }();
  (void)initialised;
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

void append(HeaderList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) throw HTTPError::network("Out of memory");
  (void)list.release();
  list.reset(grown);
}

struct BodySink {
  std::string body;
  std::size_t limit = 0;
  bool overflow = false;
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* context) {
  auto* sink = static_cast<BodySink*>(context);
  const std::size_t n = size * count;
  if (sink->body.size() + n > sink->limit) {
    sink->overflow = true;
    return 0;  // makes libcurl abort the transfer
  }
  sink->body.append(data, n);
  return n;
}

// libcurl calls this about once a second and whenever data moves; non-zero
// ends the transfer.
int checkAbort(void* abort, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(abort)->load() ? 1 : 0;
}

bool isRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

HTTPError::HTTPError(Kind kind, std::string payload, const std::string& description)
    : std::runtime_error(description), kind_(kind), payload_(std::move(payload)) {}

HTTPError HTTPError::network(std::string description) {
  const std::string text = description;
  return HTTPError(Kind::network, std::move(description), text);
}

HTTPError HTTPError::hostNotAllowed(std::string hostOrURL) {
  const std::string text = "Host not allowed: " + hostOrURL;
  return HTTPError(Kind::hostNotAllowed, std::move(hostOrURL), text);
}

CurlHTTPClient::CurlHTTPClient(const std::set<std::string>& allowedHosts)
    : CurlHTTPClient(allowedHosts, Transport{}) {}

CurlHTTPClient::CurlHTTPClient(const std::set<std::string>& allowedHosts, Transport transport)
    : transport_(std::move(transport)) {
  for (const std::string& host : allowedHosts)
    allowedHosts_.insert(lower(host));
  if (transport_.appVersion.empty()) transport_.appVersion = AppInfo::version();
  initialiseCurlOnce();
}

bool CurlHTTPClient::isAllowed(std::string_view url) const {
  const UrlParts parts = parseUrl(url);
  return parts.scheme && parts.host && lower(*parts.scheme) == "https" &&
         allowedHosts_.contains(lower(*parts.host));
}

HTTPResponse CurlHTTPClient::postJSON(const std::string& url, std::string_view body,
                                      double timeoutSeconds) {
  return exchange(url, &body, timeoutSeconds, maxResponseBytes, nullptr);
}

HTTPResponse CurlHTTPClient::get(const std::string& url, double timeoutSeconds,
                                 std::size_t maxBytes, const std::atomic<bool>* abort) {
  return exchange(url, nullptr, timeoutSeconds, maxBytes, abort);
}

HTTPResponse CurlHTTPClient::exchange(const std::string& url, const std::string_view* body,
                                      double timeoutSeconds, std::size_t maxBytes,
                                      const std::atomic<bool>* abort) {
  if (!isAllowed(url)) {
    const UrlParts parts = parseUrl(url);
    throw HTTPError::hostNotAllowed(parts.host ? *parts.host : url);
  }

  // One limit for the whole exchange, redirects included.
  const auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
      std::isfinite(timeoutSeconds) ? std::max(timeoutSeconds, 0.0) : 0.0));
  const Clock::time_point deadline = Clock::now() + limit;

  std::string currentUrl = url;
  const bool json = body != nullptr;
  bool post = json;
  for (int redirects = 0;; ++redirects) {
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (remaining <= 0) {
      throw HTTPError::network("Operation timed out after " +
                               std::to_string(static_cast<long long>(timeoutSeconds * 1000)) +
                               " milliseconds");
    }

    EasyHandle easy(curl_easy_init());
    if (!easy) throw HTTPError::network("Out of memory");
    CURL* h = easy.get();
    char errorText[CURL_ERROR_SIZE] = {};
    BodySink sink;
    sink.limit = maxBytes;

    HeaderList headers;
    if (post) append(headers, "Content-Type: application/json");
    if (json) append(headers, "Accept: application/json");
    // Without this libcurl waits for a 100-continue before sending larger bodies.
    append(headers, "Expect:");
    HeaderList pinned;
    for (const std::string& entry : transport_.pinnedAddresses)
      append(pinned, entry);

    curl_easy_setopt(h, CURLOPT_URL, currentUrl.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    // Redirects are decided below, one at a time, never by libcurl.
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(remaining));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(remaining));
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    // Ephemeral: a fresh connection every time; no cookie engine, HSTS or
    // alt-svc cache is enabled and .netrc is never read.
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(h, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    const std::string userAgent = "Choralink-Mac/" + transport_.appVersion;
    curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    if (post) {
      curl_easy_setopt(h, CURLOPT_POST, 1L);
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, body->data());
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    } else {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }
    if (pinned) curl_easy_setopt(h, CURLOPT_RESOLVE, pinned.get());
    if (abort != nullptr) {
      curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &checkAbort);
      curl_easy_setopt(h, CURLOPT_XFERINFODATA, abort);
      curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    }
    HeaderList connectTo;
    for (const std::string& entry : transport_.connectTo)
      append(connectTo, entry);
    if (connectTo) curl_easy_setopt(h, CURLOPT_CONNECT_TO, connectTo.get());
    if (transport_.direct) curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_blob trusted{};
    if (!transport_.trustedCertificatesPEM.empty()) {
      trusted.data = transport_.trustedCertificatesPEM.data();
      trusted.len = transport_.trustedCertificatesPEM.size();
      trusted.flags = CURL_BLOB_NOCOPY;
      curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &trusted);
      curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    }

    const CURLcode result = curl_easy_perform(h);
    if (sink.overflow) throw HTTPError::network("Response too large");
    if (abort != nullptr && abort->load()) throw HTTPError::network("Aborted");
    if (result != CURLE_OK) {
      throw HTTPError::network(errorText[0] != '\0' ? std::string(errorText)
                                                    : std::string(curl_easy_strerror(result)));
    }

    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    char* location = nullptr;
    curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location);
    if (!isRedirect(status) || location == nullptr || !isAllowed(location)) {
      // A redirect we will not follow is the final answer.
      return HTTPResponse{static_cast<int>(status), std::move(sink.body)};
    }
    if (redirects >= maxRedirects) throw HTTPError::network("Too many redirects");
    currentUrl = location;
    // 307 and 308 repeat the request as it was; the others turn it into a GET,
    // as every HTTP user agent does.
    if (status != 307 && status != 308) post = false;
  }
}

}  // namespace choralink
