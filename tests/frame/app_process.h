// The application binary as a child process, in a private home: its own
// XDG config, state and runtime folders, the offscreen platform, the
// simulated machine unless the test says otherwise, and no system bus unless
// the test brings one. Waits poll for what the test expects, bounded.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "tests/common/temp_folder.h"

namespace choralink::test {

// Polls `done` every 20 ms for up to `seconds`.
bool waitUntil(const std::function<bool()>& done, double seconds);

class AppHome {
 public:
  AppHome();
  std::filesystem::path path() const { return folder_.path(); }
  std::filesystem::path settingsFile() const;
  std::filesystem::path logFile() const;
  std::filesystem::path runtimeDir() const;
  // The diagnostic log as written so far; empty when there is none.
  std::string log() const;
  // Waits until the log holds `text`.
  bool waitForLog(const std::string& text, double seconds = 10.0) const;
  // The child's environment, with `extra` added or replacing.
  std::map<std::string, std::string> environment(
      const std::map<std::string, std::string>& extra) const;

 private:
  TempFolder folder_;
};

class AppProcess {
 public:
  // Starts the binary; `env` is the complete environment (an empty value
  // is kept as empty, not unset).
  explicit AppProcess(const std::map<std::string, std::string>& env);
  // Kills a child still running, by its PID, and reaps it.
  ~AppProcess();
  AppProcess(const AppProcess&) = delete;
  AppProcess& operator=(const AppProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int number) const;
  // The exit status once the child ended within `seconds`; none otherwise.
  // A child ended by a signal reports 128 + the signal's number.
  std::optional<int> waitForExit(double seconds);
  // What the child wrote to stdout and stderr.
  std::string output() const;

 private:
  TempFolder outputFolder_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace choralink::test
