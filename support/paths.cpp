#include "support/paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "support/fd_write.h"

namespace choralink::Paths {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kAppFolder = "Choralink";

// The user's home: $HOME when it is usable, else the password database. A
// process with neither (a stripped-down service account) gets the temporary
// folder rather than the current directory, which could be anywhere.
fs::path homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return home;
  }
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  std::error_code error;
  fs::path temporary = fs::temp_directory_path(error);
  return error ? fs::path("/tmp") : temporary;
}

// An XDG base folder. The XDG rules say a relative value is invalid and must
// be ignored, which also keeps our files from landing in whatever the current
// directory happens to be.
fs::path xdgFolder(const char* variable, const fs::path& fallbackUnderHome) {
  if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/') {
    return value;
  }
  return homeFolder() / fallbackUnderHome;
}

fs::path configHome() {
  return xdgFolder("XDG_CONFIG_HOME", ".config");
}
fs::path stateHome() {
  return xdgFolder("XDG_STATE_HOME", fs::path(".local") / "state");
}
fs::path cacheHome() {
  return xdgFolder("XDG_CACHE_HOME", ".cache");
}

[[noreturn]] void throwFileError(const char* what, const fs::path& target, int error) {
  throw fs::filesystem_error(what, target, std::error_code(error, std::generic_category()));
}

}  // namespace

fs::path appSupport() {
  return ensure(configHome() / kAppFolder);
}
fs::path settingsFile() {
  return appSupport() / "settings.json";
}
fs::path rateRestoreFile() {
  return appSupport() / "rate-restore.json";
}

fs::path defaultOutputJournalFile() {
  return appSupport() / "default-output.json";
}

fs::path logs() {
  return ensure(stateHome() / kAppFolder / "logs");
}
fs::path logFile() {
  return logs() / "choralink.log";
}
fs::path crashReports() {
  return ensure(stateHome() / kAppFolder / "crashes");
}

fs::path updateDownloads() {
  return ensure(cacheHome() / kAppFolder / "updates");
}
fs::path updaterStateFile() {
  return ensure(stateHome() / kAppFolder) / "updater.json";
}

fs::path ensure(const fs::path& folder) noexcept {
  std::error_code ignored;
  fs::create_directories(folder, ignored);
  return folder;
}

void writeAtomically(const fs::path& target, std::string_view bytes) {
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  // Hidden, beside the target (a rename never crosses file systems), and
  // unique so that two writers never share a temporary file.
  std::string temporary = (folder / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) throwFileError("cannot create a temporary file for", target, errno);

  auto abandon = [&](const char* what, int error) {
    if (fd >= 0) ::close(fd);
    ::unlink(temporary.c_str());
    throwFileError(what, target, error);
  };

  // Keep the permissions of the file being replaced; a new file stays private.
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    ::fchmod(fd, existing.st_mode & 07777);
  }
  if (!writeAll(fd, bytes)) abandon("cannot write", errno);
  // The data must be on disk before the rename makes it the target, or a
  // power cut could leave the new name pointing at an empty file.
  if (::fsync(fd) != 0) abandon("cannot flush", errno);
  int closed = ::close(fd);
  fd = -1;
  if (closed != 0) abandon("cannot close", errno);
  if (::rename(temporary.c_str(), target.c_str()) != 0) abandon("cannot replace", errno);

  // Make the rename itself durable; the content is already safe either way.
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

}  // namespace choralink::Paths
