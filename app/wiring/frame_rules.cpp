#include "app/wiring/frame_rules.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace choralink {

bool autostartRequested(const char* value) {
  return value != nullptr && std::strcmp(value, "1") == 0;
}

double snapshotDelay(const char* value) {
  if (value == nullptr) return kDefaultSnapshotDelay;
  const char* end = value + std::strlen(value);
  double seconds = 0;
  const auto [stop, error] = std::from_chars(value, end, seconds, std::chars_format::general);
  if (error != std::errc() || stop != end || value == end) return kDefaultSnapshotDelay;
  if (!std::isfinite(seconds) || seconds < 0) return kDefaultSnapshotDelay;
  return seconds;
}

void readSnapshotOpenList(const char* value, SnapshotRequest& request) {
  if (value == nullptr) return;
  std::string_view rest(value);
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    std::string_view word = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    while (!word.empty() && word.front() == ' ')
      word.remove_prefix(1);
    while (!word.empty() && word.back() == ' ')
      word.remove_suffix(1);
    if (word == "panel") request.openPanel = true;
    if (word == "settings") request.openSettings = true;
  }
}

DevelopmentRequests readDevelopmentRequests(const EnvironmentLookup& lookup) {
  DevelopmentRequests requests;
  requests.autostart = autostartRequested(lookup(kDevAutostartVariable));
  const char* folder = lookup(kSnapshotDirVariable);
  if (folder != nullptr && *folder != '\0') {
    requests.snapshots = SnapshotRequest{folder, snapshotDelay(lookup(kSnapshotDelayVariable))};
    readSnapshotOpenList(lookup(kSnapshotOpenVariable), *requests.snapshots);
  }
  const char* autopilot = lookup(kAutopilotVariable);
  if (autopilot != nullptr && std::strcmp(autopilot, "onboarding") == 0) {
    requests.onboardingAutopilot = true;
  } else if (autopilot != nullptr && *autopilot != '\0') {
    requests.ignored = std::string(kAutopilotVariable) + " is \"" + autopilot +
                       "\"; the only autopilot is \"onboarding\": ignored";
  }
  return requests;
}

std::string snapshotFileName(int number, std::string_view identifier) {
  const std::string index = std::to_string(number);
  const bool plainName = !identifier.empty() && identifier != "." && identifier != ".." &&
                         identifier.find('/') == std::string_view::npos;
  const std::string name = plainName ? std::string(identifier) : "window" + index;
  return index + "-" + name + ".png";
}

std::string instanceSocketName(const char* runtimeDir, unsigned uid) {
  if (runtimeDir != nullptr && runtimeDir[0] == '/') {
    return (std::filesystem::path(runtimeDir) / "app.choralink.Choralink.instance").string();
  }
  return "app.choralink.Choralink-" + std::to_string(uid);
}

}  // namespace choralink
