// The folder tree our own package installs, and the only operations that
// change it, each one leaving a tree that starts:
//
//   <root>/current -> versions/<version>     the version that starts
//   <root>/versions/<version>/choralink-package   marker: this is our package
//   <root>/versions/<version>/bin/choralink
//
// An update is unpacked beside the running version (stage), then switched in
// by renaming a fresh symlink over `current` (switchTo), which the file system
// does atomically: a reader, or a start after a kill, sees the old link or the
// new one. The previous version is removed only by a later start of the new
// one (removeLeftovers). Blocking file work: call it off the user-interface
// thread, except switchTo, which is two system calls.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace choralink {

class InstallError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class InstallLayout {
 public:
  static constexpr std::string_view kMarker = "choralink-package";

  // Each step that changes the tree, reported after it happened, so a test
  // can stop the process between any two of them.
  enum class Step { stagingCleared, extracted, movedIntoPlace, stagingRemoved, linkMade, switched };
  using StepHook = std::function<void(Step)>;

  // The install `executable` (a resolved path, as /proc/self/exe gives it)
  // runs from: it must lie in <root>/versions/<version>/ beside the marker,
  // and <root>/current must be a symlink. Anything else (the build tree, a
  // system package) has none.
  static std::optional<InstallLayout> of(const std::filesystem::path& executable);

  const std::filesystem::path& root() const { return root_; }
  // The version `current` points at ("" when the link is unreadable).
  std::string currentVersion() const;
  // The program to start after a switch: the running executable's place
  // inside whatever version `current` now points at.
  std::filesystem::path launcher() const;

  // Unpacks the signed archive `archive` (a tarball of this same layout) and
  // moves its versions/<version> beside the running one. Throws InstallError
  // when the archive cannot be unpacked or does not hold that version.
  void stage(const std::filesystem::path& archive, const std::string& version,
             const StepHook& hook = {}) const;
  // Points `current` at a staged version in one rename.
  void switchTo(const std::string& version, const StepHook& hook = {}) const;
  // Removes a staged version that will not be installed (never the current
  // or the running one).
  void discard(const std::string& version) const;
  // After a start: removes every version except the current and the running
  // one, and whatever an interrupted stage or switch left behind.
  void removeLeftovers() const;

 private:
  InstallLayout(std::filesystem::path root, std::string runningVersion,
                std::filesystem::path relativeExecutable)
      : root_(std::move(root)),
        runningVersion_(std::move(runningVersion)),
        relativeExecutable_(std::move(relativeExecutable)) {}

  std::filesystem::path versions() const { return root_ / "versions"; }

  std::filesystem::path root_;
  std::string runningVersion_;
  std::filesystem::path relativeExecutable_;  // e.g. bin/choralink
};

}  // namespace choralink
