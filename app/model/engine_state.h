// What the broadcast is doing as far as the application knows, and the pages
// of the main window. Plain values for the app model and every view.
#pragma once

#include <array>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace choralink {

// off, starting, running, rebuilding, or failed with a message for the user.
// Equal when the case is equal and, for failed, the message too.
class EngineState {
 public:
  enum class Kind { off, starting, running, rebuilding, failed };

  static EngineState off() { return {Kind::off, {}}; }
  static EngineState starting() { return {Kind::starting, {}}; }
  static EngineState running() { return {Kind::running, {}}; }
  static EngineState rebuilding() { return {Kind::rebuilding, {}}; }
  static EngineState failed(std::string message) { return {Kind::failed, std::move(message)}; }

  Kind kind() const { return kind_; }
  bool is(Kind kind) const { return kind_ == kind; }
  // The failure's message; empty for every other case.
  const std::string& message() const { return message_; }

  friend bool operator==(const EngineState& a, const EngineState& b) {
    return a.kind_ == b.kind_ && (a.kind_ != Kind::failed || a.message_ == b.message_);
  }

 private:
  EngineState(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind_;
  std::string message_;
};

// Readable form for logs and test messages: off, running, failed("…").
std::string describe(const EngineState& state);
std::ostream& operator<<(std::ostream& out, const EngineState& state);

// The main window's pages, in sidebar order.
enum class AppSection { devices, sync, settings, howTo, about };

inline constexpr std::array<AppSection, 5> kAllAppSections{AppSection::devices, AppSection::sync,
                                                           AppSection::settings, AppSection::howTo,
                                                           AppSection::about};

// "devices", "sync", "settings", "howTo", "about".
constexpr std::string_view rawValue(AppSection section) {
  switch (section) {
    case AppSection::sync:
      return "sync";
    case AppSection::settings:
      return "settings";
    case AppSection::howTo:
      return "howTo";
    case AppSection::about:
      return "about";
    case AppSection::devices:
      break;
  }
  return "devices";
}

// The section whose raw value is `raw`; any other text yields no value.
constexpr std::optional<AppSection> appSectionFromRaw(std::string_view raw) {
  for (AppSection section : kAllAppSections) {
    if (rawValue(section) == raw) return section;
  }
  return std::nullopt;
}

}  // namespace choralink
