// The updater's own small file (updater.json under $XDG_STATE_HOME/Choralink),
// kept apart from the user's settings: whether scheduled checks are on, when
// the last check ran and which version the user chose to skip. Written
// atomically; an unreadable file reads as the defaults.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace choralink {

struct UpdaterState {
  bool automaticallyChecks = true;
  std::optional<double> lastCheck;  // seconds since the Unix epoch
  std::string skippedVersion;

  static UpdaterState load(const std::filesystem::path& file);
  // Throws std::filesystem::filesystem_error when the file cannot be written.
  void save(const std::filesystem::path& file) const;
};

}  // namespace choralink
