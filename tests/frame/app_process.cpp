#include "tests/frame/app_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/settings_codec.h"

namespace choralink::test {

namespace fs = std::filesystem;

bool waitUntil(const std::function<bool()>& done, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

static fs::path settingsFile(const fs::path& home) {
  return home / "config/Choralink/settings.json";
}

void storeSettings(const fs::path& home, const std::string& json) {
  fs::create_directories(settingsFile(home).parent_path());
  writeFile(settingsFile(home), json);
}

StoredChoices storedChoices(const fs::path& home) {
  StoredChoices choices;
  try {
    const AppSettings settings = SettingsCodec::decode(readFile(settingsFile(home))).settings;
    for (const auto& [uid, device] : settings.devices) {
      if (device.enabled) choices.enabled.insert(uid);
    }
    choices.onboardingDone = settings.onboardingDone;
  } catch (const SettingsDecodeError&) {
  }
  return choices;
}

std::string appLog(const fs::path& home) {
  return readFile(home / "state/Choralink/logs/choralink.log");
}

bool waitForLog(const fs::path& home, const std::string& text, double seconds) {
  return waitUntil([&] { return appLog(home).find(text) != std::string::npos; }, seconds);
}

AppProcess::AppProcess(const fs::path& home, const std::map<std::string, std::string>& env,
                       std::vector<std::string> command) {
  fs::create_directories(home / "run");
  ::chmod((home / "run").c_str(), 0700);
  std::map<std::string, std::string> all{
      {"HOME", home.string()},
      {"XDG_CONFIG_HOME", (home / "config").string()},
      {"XDG_STATE_HOME", (home / "state").string()},
      {"XDG_RUNTIME_DIR", (home / "run").string()},
      {"QT_QPA_PLATFORM", "offscreen"},
      {"CHORALINK_AUDIO_BACKEND", "sim"},
      {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (home / "no-bus").string()},
      {"PATH", std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin"}};
  for (const auto& [name, value] : env)
    all[name] = value;
  std::vector<std::string> entries;
  for (const auto& [name, value] : all) {
    if (!value.empty()) entries.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (std::string& entry : entries)
    envp.push_back(entry.data());
  envp.push_back(nullptr);
  const std::string out = (outputFolder_ / "output.txt").string();
  if (command.empty()) command.push_back(CHORALINK_APP_BINARY);
  std::vector<char*> argv;
  for (std::string& word : command)
    argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ == 0) {
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
}

AppProcess::~AppProcess() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

void AppProcess::signal(int number) const {
  if (pid_ > 0 && !status_) ::kill(pid_, number);
}

std::optional<int> AppProcess::waitForExit(double seconds) {
  waitUntil(
      [&] {
        int status = 0;
        if (status_ || ::waitpid(pid_, &status, WNOHANG) != pid_) return status_.has_value();
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
      },
      seconds);
  return status_;
}

std::string AppProcess::output() const {
  return readFile(outputFolder_ / "output.txt");
}

}  // namespace choralink::test
