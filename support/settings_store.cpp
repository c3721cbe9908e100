#include "support/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <system_error>

#include "support/paths.h"
#include "support/settings_codec.h"

namespace choralink {
namespace {

// The whole file, or nothing if it cannot be opened or read (also when it is
// not a regular file, which could block or never end).
std::optional<std::string> readWholeFile(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string bytes;
  char buffer[64 * 1024];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return bytes;
}

}  // namespace

SettingsStore::SettingsStore(std::filesystem::path url, Log& log)
    : url_(std::move(url)), log_(log) {}

AppSettings SettingsStore::load() {
  std::lock_guard guard(lock_);
  std::optional<std::string> bytes = readWholeFile(url_);
  if (!bytes) return AppSettings();
  try {
    SettingsCodec::Decoded decoded = SettingsCodec::decode(*bytes);
    extra_ = std::move(decoded.extra);
    return decoded.settings;
  } catch (const SettingsDecodeError& error) {
    std::filesystem::path aside = url_;
    aside += ".bad";
    std::error_code failure;
    // Only a file of that name is an older copy to replace; anything else
    // (a folder, say) is not ours to delete and makes the move fail below.
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(aside, failure))) {
      std::filesystem::remove(aside, failure);
    }
    failure.clear();
    std::filesystem::rename(url_, aside, failure);
    extra_ = nlohmann::json::object();
    if (failure) {
      log_.warn("settings.json was corrupt (" + std::string(error.what()) +
                ") and could not be moved aside (" + failure.message() + "); it is kept at " +
                url_.string() + " and nothing is saved over it");
      warning_ = "Your settings file could not be read and is kept as it was at " + url_.string() +
                 ". Changes are not saved until it is moved away.";
      return AppSettings();
    }
    log_.warn(std::string("settings.json was corrupt; moved to settings.json.bad (") +
              error.what() + ")");
    return AppSettings();
  }
}

std::string SettingsStore::warning() const {
  std::lock_guard guard(lock_);
  return warning_;
}

void SettingsStore::save(const AppSettings& settings) noexcept {
  try {
    std::lock_guard guard(lock_);
    if (!warning_.empty()) return;
    Paths::writeAtomically(url_, SettingsCodec::encode(settings, extra_));
  } catch (const std::exception& error) {
    log_.error(std::string("Could not save settings: ") + error.what());
  } catch (...) {
    log_.error("Could not save settings: unknown error");
  }
}

}  // namespace choralink
