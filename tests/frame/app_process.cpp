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

namespace choralink::test {

bool waitUntil(const std::function<bool()>& done, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

AppHome::AppHome() {
  std::filesystem::create_directories(runtimeDir());
  ::chmod(runtimeDir().c_str(), 0700);
}

std::filesystem::path AppHome::settingsFile() const {
  return path() / "config/Choralink/settings.json";
}
std::filesystem::path AppHome::logFile() const {
  return path() / "state/Choralink/logs/choralink.log";
}
std::filesystem::path AppHome::runtimeDir() const {
  return path() / "run";
}

std::string AppHome::log() const {
  return readFile(logFile());
}

bool AppHome::waitForLog(const std::string& text, double seconds) const {
  return waitUntil([&] { return log().find(text) != std::string::npos; }, seconds);
}

std::map<std::string, std::string> AppHome::environment(
    const std::map<std::string, std::string>& extra) const {
  std::map<std::string, std::string> env{
      {"HOME", path().string()},
      {"XDG_CONFIG_HOME", (path() / "config").string()},
      {"XDG_STATE_HOME", (path() / "state").string()},
      {"XDG_RUNTIME_DIR", runtimeDir().string()},
      {"QT_QPA_PLATFORM", "offscreen"},
      {"CHORALINK_AUDIO_BACKEND", "sim"},
      {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (path() / "no-system-bus").string()},
      {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (path() / "no-session-bus").string()},
  };
  if (const char* path = std::getenv("PATH")) env["PATH"] = path;
  for (const auto& [name, value] : extra)
    env[name] = value;
  return env;
}

AppProcess::AppProcess(const std::map<std::string, std::string>& env) {
  std::vector<std::string> entries;
  for (const auto& [name, value] : env)
    entries.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : entries)
    envp.push_back(entry.data());
  envp.push_back(nullptr);
  const std::string out = (outputFolder_ / "output.txt").string();
  std::string binary = CHORALINK_APP_BINARY;
  char* argv[] = {binary.data(), nullptr};

  pid_ = ::fork();
  if (pid_ == 0) {
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
    }
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
}

AppProcess::~AppProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

void AppProcess::signal(int number) const {
  if (pid_ > 0 && !status_) ::kill(pid_, number);
}

std::optional<int> AppProcess::waitForExit(double seconds) {
  if (status_) return status_;
  waitUntil(
      [&] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
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
