#include "app/model/xdg_autostart.h"

#include <fstream>
#include <system_error>
#include <utility>

#include "support/paths.h"

namespace choralink {
namespace {

namespace fs = std::filesystem;

// Characters that make the Desktop Entry format's Exec rules ask for quoting.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";

bool hasControlCharacter(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return true;
  }
  return false;
}

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

fs::path XdgAutostartEntry::defaultFolder() {
  // The application-support folder sits in the XDG config home, so its
  // parent is exactly where the XDG rules (absolute $XDG_CONFIG_HOME, else
  // ~/.config) put the autostart folder; one rule for both.
  return Paths::appSupport().parent_path() / "autostart";
}

std::string XdgAutostartEntry::currentExecutable() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.string();
}

XdgAutostartEntry::XdgAutostartEntry(fs::path folder, std::string executable)
    : folder_(std::move(folder)), executable_(std::move(executable)) {}

std::string XdgAutostartEntry::execArgument(std::string_view executable) {
  const bool quoted = executable.find_first_of(kReserved) != std::string_view::npos;
  std::string argument;
  if (quoted) argument += '"';
  for (char c : executable) {
    if (c == '%') {
      argument += "%%";  // a lone % would start a field code
      continue;
    }
    if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\')) argument += '\\';
    argument += c;
  }
  if (quoted) argument += '"';
  // The value is also a string of the key file format, whose own escaping
  // applies first when read: every backslash is written twice.
  std::string value;
  for (char c : argument) {
    value += c;
    if (c == '\\') value += '\\';
  }
  return value;
}

std::string XdgAutostartEntry::entryText(std::string_view executable) {
  if (executable.empty()) throw LoginItemError("Cannot find the program to start at login");
  if (hasControlCharacter(executable)) {
    throw LoginItemError("The program's path cannot be started from an autostart entry");
  }
  std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Choralink\n"
      "Comment=Plays your computer's sound on several outputs at once\n"
      "Exec=";
  text += execArgument(executable);
  text +=
      "\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  return text;
}

void XdgAutostartEntry::registerItem() {
  const std::string text = entryText(executable_);
  std::error_code error;
  fs::create_directories(folder_, error);
  if (error) {
    throw LoginItemError("Could not create " + folder_.string() + ": " + error.message());
  }
  try {
    Paths::writeAtomically(file(), text);
  } catch (const fs::filesystem_error& failure) {
    throw LoginItemError("Could not write " + file().string() + ": " + failure.code().message());
  }
}

void XdgAutostartEntry::unregisterItem() {
  std::error_code error;
  fs::remove(file(), error);
  if (error) {
    throw LoginItemError("Could not remove " + file().string() + ": " + error.message());
  }
}

bool XdgAutostartEntry::isEnabled() const noexcept {
  try {
    std::ifstream in(file());
    if (!in) return false;
    bool inEntryGroup = false;
    bool sawEntryGroup = false;
    std::string raw;
    while (std::getline(in, raw)) {
      const std::string_view line = trim(raw);
      if (line.empty() || line.front() == '#') continue;
      if (line.front() == '[') {
        inEntryGroup = line == "[Desktop Entry]";
        sawEntryGroup = sawEntryGroup || inEntryGroup;
        continue;
      }
      if (!inEntryGroup) continue;
      const auto equals = line.find('=');
      if (equals == std::string_view::npos) continue;
      const std::string_view key = trim(line.substr(0, equals));
      const std::string_view value = trim(line.substr(equals + 1));
      // A hidden entry counts as deleted; the second key is how GNOME's
      // session settings switch an entry off without deleting it.
      if (key == "Hidden" && value == "true") return false;
      if (key == "X-GNOME-Autostart-enabled" && value == "false") return false;
    }
    return !in.bad() && sawEntryGroup;
  } catch (...) {
    return false;
  }
}

}  // namespace choralink
