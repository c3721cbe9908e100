// The rules of the application's frame that need no toolkit: the
// development variables, the snapshot files' names and where the running
// instance listens for a second launch. The Qt frame (app/) applies them.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace choralink {

inline constexpr const char* kDevAutostartVariable = "CHORALINK_DEV_AUTOSTART";
inline constexpr const char* kSnapshotDirVariable = "CHORALINK_SNAPSHOT_DIR";
inline constexpr const char* kSnapshotDelayVariable = "CHORALINK_SNAPSHOT_DELAY";
// With the snapshot folder set: the windows to open at launch so that they
// are in the snapshots too, as a comma-separated list of "panel" and
// "settings" (windows a user opens from the tray, which an offscreen run has
// no way to click).
inline constexpr const char* kSnapshotOpenVariable = "CHORALINK_SNAPSHOT_OPEN";
// "onboarding": a first launch's onboarding sheet goes through its steps by
// itself (the Qt frame's OnboardingAutopilot), with a snapshot of each step
// when the snapshot folder is set.
inline constexpr const char* kAutopilotVariable = "CHORALINK_AUTOPILOT";

// How long after launching the development autostart presses Start.
inline constexpr double kDevAutostartDelay = 2.0;
// The snapshot delay when the variable is absent or unusable.
inline constexpr double kDefaultSnapshotDelay = 3.0;

struct SnapshotRequest {
  std::filesystem::path folder;
  double delaySeconds = kDefaultSnapshotDelay;
  bool openPanel = false;
  bool openSettings = false;
};

struct DevelopmentRequests {
  bool autostart = false;
  std::optional<SnapshotRequest> snapshots;
  bool onboardingAutopilot = false;
  // For the log: a value that asks for nothing known, said so; else empty.
  std::string ignored;
};

// Reads an environment variable; null when unset.
using EnvironmentLookup = std::function<const char*(const char*)>;

// Only exactly "1" asks for the autostart: "true", "yes" or " 1" do not.
bool autostartRequested(const char* value);
// The whole text as a decimal number of seconds; absent, unparsable,
// negative or not finite gives kDefaultSnapshotDelay (a negative or endless
// wait has no meaning here).
double snapshotDelay(const char* value);
// Fills the request's open flags from the list; words other than "panel" and
// "settings" are ignored, spaces around a word too.
void readSnapshotOpenList(const char* value, SnapshotRequest& request);
// The development aids as the environment asks for them. An empty snapshot
// folder counts as unset: it would mean the current folder, never intended.
// The autopilot takes exactly "onboarding"; any other non-empty value is
// ignored with a word in `ignored`, since a mistyped name would otherwise
// look like an autopilot that hangs.
DevelopmentRequests readDevelopmentRequests(const EnvironmentLookup& lookup);

// "<number>-<identifier>.png"; a window without an identifier is
// "window<number>". An identifier that is not a plain file name (holding a
// slash, or "." / "..") is treated as none, so a file never lands outside
// the folder.
std::string snapshotFileName(int number, std::string_view identifier);

// Where the running instance listens for a second launch: a socket in the
// user's runtime folder ($XDG_RUNTIME_DIR, an absolute path only); without
// one, a name Qt places in the temporary folder, made per user by the uid.
std::string instanceSocketName(const char* runtimeDir, unsigned uid);

}  // namespace choralink
