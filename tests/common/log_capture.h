// A diagnostic log of the test's own: lines go to a file in a private
// temporary folder (never the user's log) and every message is also kept in
// memory, with its level, for the test to read back.
#pragma once

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/log.h"
#include "tests/common/temp_folder.h"

namespace choralink::test {

// What `log` wrote to its file, a line each, without the timestamps:
// "[WARN] feedback: HTTP 500".
inline std::vector<std::string> fileMessages(Log& log) {
  std::vector<std::string> out;
  for (const std::string& line : lines(log.tail(1'000'000)))
    out.push_back(line.substr(line.find(' ') + 1));
  return out;
}

struct LogLine {
  LogLevel level;
  std::string message;
  friend bool operator==(const LogLine&, const LogLine&) = default;
};

class LogCapture {
 public:
  explicit LogCapture(const std::filesystem::path& folder)
      : log_(std::make_unique<Log>(folder / "test.log",
                                   [this](LogLevel level, std::string_view message) {
                                     std::lock_guard lock(mutex_);
                                     lines_.push_back({level, std::string(message)});
                                   })) {}

  Log& log() { return *log_; }

  std::vector<LogLine> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const LogLine& line : lines())
      out.push_back(line.message);
    return out;
  }
  bool contains(LogLevel level, std::string_view message) const {
    const auto all = lines();
    return std::find(all.begin(), all.end(), LogLine{level, std::string(message)}) != all.end();
  }
  // Messages that start with `prefix`.
  std::vector<std::string> startingWith(std::string_view prefix) const {
    std::vector<std::string> out;
    for (const LogLine& line : lines()) {
      if (line.message.starts_with(prefix)) out.push_back(line.message);
    }
    return out;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;
  std::unique_ptr<Log> log_;  // last: its sink uses the fields above
};

}  // namespace choralink::test
