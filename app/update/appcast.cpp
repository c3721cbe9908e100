#include "app/update/appcast.h"

#include <pugixml.hpp>

#include <charconv>
#include <string>

namespace choralink {
namespace {

// Appcasts name their own elements with the "sparkle:" prefix; feeds in the
// wild always use that prefix, so it is matched literally.
constexpr const char* kVersion = "sparkle:version";
constexpr const char* kShortVersion = "sparkle:shortVersionString";
constexpr const char* kReleaseNotes = "sparkle:releaseNotesLink";
constexpr const char* kSignature = "sparkle:edSignature";
constexpr const char* kDeltaFrom = "sparkle:deltaFrom";

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

AppcastEnclosure enclosure(const pugi::xml_node& node) {
  AppcastEnclosure out;
  if (pugi::xml_attribute url = node.attribute("url")) out.url = trimmed(url.value());
  out.length = node.attribute("length").as_ullong(0);
  out.edSignature = trimmed(node.attribute(kSignature).value());
  out.deltaFrom = trimmed(node.attribute(kDeltaFrom).value());
  return out;
}

std::vector<std::uint64_t> parts(std::string_view version) {
  std::vector<std::uint64_t> out;
  std::size_t start = 0;
  while (start <= version.size()) {
    std::size_t end = version.find('.', start);
    if (end == std::string_view::npos) end = version.size();
    std::uint64_t value = 0;
    std::from_chars(version.data() + start, version.data() + end, value);
    out.push_back(value);
    start = end + 1;
  }
  while (!out.empty() && out.back() == 0)
    out.pop_back();
  return out;
}

}  // namespace

std::vector<AppcastItem> parseAppcast(std::string_view xml) {
  pugi::xml_document document;
  const pugi::xml_parse_result parsed = document.load_buffer(xml.data(), xml.size());
  if (!parsed)
    throw AppcastError(std::string("The update feed isn't valid XML: ") + parsed.description());
  const pugi::xml_node channel = document.child("rss").child("channel");
  if (!channel) throw AppcastError("The update feed has no channel");

  std::vector<AppcastItem> items;
  for (const pugi::xml_node& node : channel.children("item")) {
    const pugi::xml_node file = node.child("enclosure");
    AppcastItem item;
    // The version may sit in its own element or on the enclosure.
    item.version = trimmed(node.child_value(kVersion));
    if (item.version.empty()) item.version = trimmed(file.attribute(kVersion).value());
    if (item.version.empty()) continue;
    item.displayVersion = trimmed(node.child_value(kShortVersion));
    if (item.displayVersion.empty()) {
      item.displayVersion = trimmed(file.attribute(kShortVersion).value());
    }
    if (item.displayVersion.empty()) item.displayVersion = item.version;
    item.releaseNotesURL = trimmed(node.child_value(kReleaseNotes));
    if (file) item.file = enclosure(file);
    for (const pugi::xml_node& delta : node.child("sparkle:deltas").children("enclosure"))
      item.deltas.push_back(enclosure(delta));
    items.push_back(std::move(item));
  }
  return items;
}

int compareVersions(std::string_view a, std::string_view b) {
  const std::vector<std::uint64_t> left = parts(a);
  const std::vector<std::uint64_t> right = parts(b);
  for (std::size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
    const std::uint64_t l = i < left.size() ? left[i] : 0;
    const std::uint64_t r = i < right.size() ? right[i] : 0;
    if (l != r) return l < r ? -1 : 1;
  }
  return 0;
}

std::optional<AppcastItem> newestOffer(const std::vector<AppcastItem>& items,
                                       std::string_view runningVersion) {
  std::optional<AppcastItem> best;
  for (const AppcastItem& item : items) {
    if (compareVersions(item.version, runningVersion) <= 0) continue;
    if (!best || compareVersions(item.version, best->version) > 0) best = item;
  }
  return best;
}

}  // namespace choralink
