// The application binary as a child process in a private home (`home`: its
// own XDG folders), offscreen, on the simulated machine and without a system
// bus unless `env` says otherwise. Waits poll for what the test expects.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/common/temp_folder.h"

namespace choralink::test {

bool waitUntil(const std::function<bool()>& done, double seconds);

// The stored settings an earlier run would have left.
void storeSettings(const std::filesystem::path& home, const std::string& json);
// The devices the stored settings switch on, by UID, and whether they say
// onboarding is done; unreadable settings read as defaults.
struct StoredChoices {
  std::set<std::string> enabled;
  bool onboardingDone = false;
};
StoredChoices storedChoices(const std::filesystem::path& home);
// The diagnostic log as written so far; waitForLog waits until it holds `text`.
std::string appLog(const std::filesystem::path& home);
bool waitForLog(const std::filesystem::path& home, const std::string& text, double seconds = 15);

class AppProcess {
 public:
  // `env` adds to or replaces the private environment; an empty value unsets.
  // `command`: program and arguments; empty: the build's application binary.
  explicit AppProcess(const std::filesystem::path& home,
                      const std::map<std::string, std::string>& env = {},
                      std::vector<std::string> command = {});
  // A child still running is killed by its PID.
  ~AppProcess();
  AppProcess(const AppProcess&) = delete;
  AppProcess& operator=(const AppProcess&) = delete;

  void signal(int number) const;
  // The exit status (128 + signal when killed) once ended within `seconds`.
  std::optional<int> waitForExit(double seconds);
  // What the child wrote to stdout and stderr.
  std::string output() const;

 private:
  TempFolder outputFolder_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace choralink::test
