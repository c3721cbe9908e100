#include "support/update_policy.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>

#include "support/app_info.h"

namespace choralink::UpdatePolicy {
namespace {

constexpr std::string_view kDownloadFolder = "/mac/";
constexpr std::string_view kHttpsPort = "443";

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

struct CurlString {
  char* text = nullptr;
  ~CurlString() { curl_free(text); }
};

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// Parses `url` with libcurl, which also removes "." and ".." path segments.
UrlHandle parse(const std::string& url) {
  UrlHandle handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return nullptr;
  }
  return handle;
}

// The part's text, or nothing when the URL has no such part.
std::optional<std::string> part(CURLU* url, CURLUPart which) {
  CurlString value;
  if (curl_url_get(url, which, &value.text, 0) != CURLUE_OK || value.text == nullptr) {
    return std::nullopt;
  }
  return std::string(value.text);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isUnreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// Decodes the percent-encoded unreserved characters, which mean the same as
// the characters themselves, so that "%2e%2e" becomes a ".." segment that
// normalisation then removes; a server would decode it and climb out of the
// folder otherwise. Separators that arrive encoded ("%2F", "%5C") or a literal
// backslash would let a server see segments libcurl did not, so such a path
// yields nothing and the URL is refused.
std::optional<std::string> decodeUnreserved(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '\\') return std::nullopt;
    if (c == '%' && i + 2 < path.size()) {
      int high = hexValue(path[i + 1]);
      int low = hexValue(path[i + 2]);
      if (high >= 0 && low >= 0) {
        auto decoded = static_cast<unsigned char>(high * 16 + low);
        if (decoded == '/' || decoded == '\\') return std::nullopt;
        if (isUnreserved(decoded)) {
          out.push_back(static_cast<char>(decoded));
          i += 2;
          continue;
        }
      }
    }
    out.push_back(c);
  }
  return out;
}

// The path with every dot segment removed, percent-encoded dots included.
std::optional<std::string> normalisedPath(const std::string& parsedPath) {
  std::optional<std::string> decoded = decodeUnreserved(parsedPath);
  if (!decoded) return std::nullopt;
  if (*decoded == parsedPath) return decoded;
  // Let libcurl remove the segments that decoding uncovered; the host is a
  // placeholder that only makes the text a URL.
  UrlHandle again = parse("https://normalise.invalid" + *decoded);
  if (!again) return std::nullopt;
  return part(again.get(), CURLUPART_PATH);
}

}  // namespace

std::string_view feedURL() {
  static const std::string url =
      "https://" + std::string(AppInfo::serviceHost()) + "/mac/appcast.xml";
  return url;
}

bool isAllowedDownload(std::optional<std::string_view> url) {
  if (!url) return false;
  UrlHandle parsed = parse(std::string(*url));
  if (!parsed) return false;

  std::optional<std::string> scheme = part(parsed.get(), CURLUPART_SCHEME);
  if (!scheme || lowered(*scheme) != "https") return false;

  std::optional<std::string> host = part(parsed.get(), CURLUPART_HOST);
  if (!host || lowered(*host) != lowered(AppInfo::serviceHost())) return false;

  // An empty user name ("https://@host/") still carries credentials syntax.
  if (part(parsed.get(), CURLUPART_USER) || part(parsed.get(), CURLUPART_PASSWORD)) return false;

  std::optional<std::string> port = part(parsed.get(), CURLUPART_PORT);
  if (port && *port != kHttpsPort) return false;

  std::optional<std::string> rawPath = part(parsed.get(), CURLUPART_PATH);
  if (!rawPath) return false;
  std::optional<std::string> path = normalisedPath(*rawPath);
  return path && path->size() > kDownloadFolder.size() && path->starts_with(kDownloadFolder);
}

}  // namespace choralink::UpdatePolicy
