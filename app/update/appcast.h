// The update feed: an RSS appcast whose items each describe one release (its
// version, the text shown for it, a release-notes link, the archive to
// download with its length and Ed25519 signature, and optional deltas from
// earlier versions), and the rule that picks the release to offer. Plain
// values and pure functions; safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace choralink {

// One downloadable file of an item.
struct AppcastEnclosure {
  std::optional<std::string> url;
  std::uint64_t length = 0;  // bytes; 0 when the feed gave none
  std::string edSignature;   // base64 Ed25519 signature of the file
  std::string deltaFrom;     // for a delta: the version it applies to
};

struct AppcastItem {
  std::string version;          // dotted numbers, compared by compareVersions
  std::string displayVersion;   // shown to people; the version when absent
  std::string releaseNotesURL;  // may be empty
  AppcastEnclosure file;
  std::vector<AppcastEnclosure> deltas;
};

// The feed is not an appcast at all (not XML, no channel). Items the parser
// cannot use (no version) are skipped rather than failing the feed.
class AppcastError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::vector<AppcastItem> parseAppcast(std::string_view xml);

// Compares dotted version numbers part by part ("1.10" > "1.9", "1.2" ==
// "1.2.0"); each part counts by its leading digits. Negative, zero or
// positive like strcmp.
int compareVersions(std::string_view a, std::string_view b);

// The newest item whose version is above `runningVersion`, if any.
std::optional<AppcastItem> newestOffer(const std::vector<AppcastItem>& items,
                                       std::string_view runningVersion);

}  // namespace choralink
