// Reads and writes one settings file. Top-level members this version does not
// know are carried from the last successful load into every later save, so a
// newer version's preferences survive a trip through an older one; a file
// that cannot be read at all is moved aside to "<file>.bad" and never
// overwritten in place. When it cannot even be moved aside (the ".bad" name
// is taken by a folder, the folder is read-only), it stays where it is, the
// store saves nothing for the rest of its life, and warning() says so.
//
// load() and save() may be called from any thread; one lock serialises them.
// The store holds no open file between calls.
#pragma once

#include <filesystem>
#include <mutex>

#include <nlohmann/json.hpp>

#include "support/log.h"
#include "support/settings.h"

namespace choralink {

class SettingsStore {
 public:
  // A store for `url` (normally Paths::settingsFile()) that reports through
  // `log`. Does not touch the file.
  explicit SettingsStore(std::filesystem::path url, Log& log = Log::shared());

  // Never fails. A missing or unreadable file gives AppSettings() and leaves
  // everything as it was; a corrupt one is moved to "<file>.bad" (replacing
  // an older one), logged, and gives AppSettings(). A corrupt file that
  // cannot be moved is kept in place: AppSettings(), a warning in the log
  // naming where it is, and no save from then on.
  AppSettings load();

  // Writes `settings` (plus the carried-through members) atomically. Never
  // throws: a failure is logged and leaves the old file as it was. Does
  // nothing while a corrupt file is kept in place (see load()).
  void save(const AppSettings& settings) noexcept;

  // For the user: why settings are not being saved (a corrupt file kept in
  // place, and where it is); empty while saving works.
  std::string warning() const;

  const std::filesystem::path& url() const { return url_; }

 private:
  const std::filesystem::path url_;
  Log& log_;
  mutable std::mutex lock_;
  nlohmann::json extra_ = nlohmann::json::object();  // guarded by lock_
  std::string warning_;                              // guarded by lock_
};

}  // namespace choralink
