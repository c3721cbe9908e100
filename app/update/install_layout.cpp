#include "app/update/install_layout.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

extern char** environ;

namespace choralink {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kStagingPrefix = ".staging-";
constexpr std::string_view kNewLink = "current.new";

void report(const InstallLayout::StepHook& hook, InstallLayout::Step step) {
  if (hook) hook(step);
}

// Version folder names come from a signed feed, but a name that could climb
// out of versions/ is refused all the same.
void requireSafeName(const std::string& version) {
  if (version.empty() || version.starts_with('.') ||
      version.find_first_of("/\\") != std::string::npos) {
    throw InstallError("Not a usable version name: " + version);
  }
}

// GNU tar, which every Linux system has; the archive's signature was checked
// before this runs, so its content is ours.
void untar(const fs::path& archive, const fs::path& into) {
  std::vector<std::string> args{"tar",         "--extract",      "--gzip",
                                "--file",      archive.string(), "--directory",
                                into.string(), "--no-same-owner"};
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  // tar's own messages would only clutter the terminal; the outcome is its
  // exit status.
  posix_spawn_file_actions_t quiet;
  ::posix_spawn_file_actions_init(&quiet);
  ::posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int error = ::posix_spawnp(&pid, "tar", &quiet, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&quiet);
  if (error != 0) {
    throw InstallError("Could not start tar: " + std::system_category().message(error));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw InstallError("The update archive could not be unpacked");
  }
}

// The archive holds the layout either at its top or inside one folder
// (CPack's Choralink-<version>-Linux/).
std::optional<fs::path> unpackedVersion(const fs::path& staging, const std::string& version) {
  const auto holds = [&](const fs::path& top) {
    return fs::is_regular_file(top / "versions" / version / InstallLayout::kMarker);
  };
  if (holds(staging)) return staging / "versions" / version;
  for (const fs::directory_entry& entry : fs::directory_iterator(staging)) {
    if (entry.is_directory() && !entry.is_symlink() && holds(entry.path())) {
      return entry.path() / "versions" / version;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<InstallLayout> InstallLayout::of(const fs::path& executable) {
  std::error_code error;
  const fs::path exe = fs::weakly_canonical(executable, error);
  if (error) return std::nullopt;
  for (fs::path dir = exe.parent_path(); dir.has_relative_path(); dir = dir.parent_path()) {
    if (!fs::is_regular_file(dir / kMarker, error)) continue;
    const fs::path versions = dir.parent_path();
    if (versions.filename() != "versions") return std::nullopt;
    const fs::path root = versions.parent_path();
    if (!fs::is_symlink(root / "current", error)) return std::nullopt;
    return InstallLayout(root, dir.filename().string(), exe.lexically_relative(dir));
  }
  return std::nullopt;
}

std::string InstallLayout::currentVersion() const {
  std::error_code error;
  const fs::path target = fs::read_symlink(root_ / "current", error);
  return error ? std::string() : target.filename().string();
}

fs::path InstallLayout::launcher() const {
  return root_ / "current" / relativeExecutable_;
}

void InstallLayout::stage(const fs::path& archive, const std::string& version,
                          const StepHook& hook) const {
  requireSafeName(version);
  if (currentVersion() == version) return;  // switched in already
  const fs::path staging = versions() / (std::string(kStagingPrefix) + version);
  const fs::path target = versions() / version;
  try {
    fs::remove_all(staging);
    fs::create_directories(staging);
    report(hook, Step::stagingCleared);
    untar(archive, staging);
    report(hook, Step::extracted);
    const std::optional<fs::path> unpacked = unpackedVersion(staging, version);
    if (!unpacked) throw InstallError("The update archive doesn't hold version " + version);
    if (version != runningVersion_) fs::remove_all(target);  // an earlier, unfinished try
    fs::rename(*unpacked, target);
    report(hook, Step::movedIntoPlace);
    fs::remove_all(staging);
    report(hook, Step::stagingRemoved);
  } catch (const fs::filesystem_error& failure) {
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    throw InstallError(std::string("Could not install the update: ") + failure.what());
  } catch (const InstallError&) {
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    throw;
  }
}

void InstallLayout::switchTo(const std::string& version, const StepHook& hook) const {
  requireSafeName(version);
  if (!fs::is_regular_file(versions() / version / kMarker)) {
    throw InstallError("Version " + version + " is not staged");
  }
  const fs::path fresh = root_ / kNewLink;
  std::error_code error;
  fs::remove(fresh, error);
  fs::create_symlink(fs::path("versions") / version, fresh, error);
  if (error) throw InstallError("Could not switch to version " + version + ": " + error.message());
  report(hook, Step::linkMade);
  // rename(2) replaces the old link in one step; never remove it first.
  fs::rename(fresh, root_ / "current", error);
  if (error) throw InstallError("Could not switch to version " + version + ": " + error.message());
  report(hook, Step::switched);
}

void InstallLayout::discard(const std::string& version) const {
  if (version == runningVersion_ || version == currentVersion()) return;
  requireSafeName(version);
  std::error_code ignored;
  fs::remove_all(versions() / version, ignored);
}

void InstallLayout::removeLeftovers() const {
  const std::string current = currentVersion();
  std::error_code error;
  fs::remove(root_ / kNewLink, error);
  for (const fs::directory_entry& entry : fs::directory_iterator(versions(), error)) {
    const std::string name = entry.path().filename().string();
    if (current.empty() || name == current || name == runningVersion_) continue;
    std::error_code ignored;
    fs::remove_all(entry.path(), ignored);
  }
}

}  // namespace choralink
