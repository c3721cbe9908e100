// The diagnostic log: one line per message in a plain-text file that is rotated
// by size, mirrored to the system log.
//
// Callers on any thread (except the real-time audio thread: a call allocates
// and formats) pay only for formatting the line and the system-log call. Every
// file operation of one Log runs on its own serial writer thread,
// "app.choralink.log", in the order the calls were made from any one thread.
// Logging never throws and never reports failure; a file that cannot be
// written loses the line, and the system-log copy still goes out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace choralink {

enum class LogLevel { info, warn, error };

// "INFO", "WARN" or "ERROR": the level's tag in the file.
std::string_view tag(LogLevel level);

class Log {
 public:
  // Receives every message on the calling thread, for the system log.
  using SystemLogSink = std::function<void(LogLevel, std::string_view message)>;

  static constexpr std::int64_t maxBytes = 1'000'000;  // rotate at this size
  static constexpr int keep = 3;                       // rotated generations kept
  static constexpr std::string_view queueLabel = "app.choralink.log";

  // The process-wide log, created on first use: Paths::logFile(), or
  // choralink-tests.log in the temporary folder when the process is a test
  // program (GoogleTest is linked in, or the program is named "*_tests"), so
  // that test runs never touch the user's log. Lives until exit; lines still
  // queued then are written by an exit handler.
  static Log& shared();

  // syslog(3) under the identifier AppInfo::bundleID(), at
  // systemLogPriority(level). In a test program (see shared()) an empty sink:
  // test runs stay out of the system log.
  static SystemLogSink syslogSink();
  // LOG_INFO for info; LOG_ERR for warn and error, which are both problems.
  static int systemLogPriority(LogLevel level);

  // A log writing to `file`, whose folder must already exist (the log never
  // creates folders). An empty `systemLog` mirrors nowhere.
  explicit Log(std::filesystem::path file, SystemLogSink systemLog = syslogSink());
  // Writes every queued line, then stops the writer thread.
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Record one message: the timestamp is taken now, on the calling thread, the
  // file work is queued and the call returns at once. A message is written
  // unchanged; one containing line feeds spans several lines.
  void info(std::string_view message) noexcept;
  void warn(std::string_view message) noexcept;
  void error(std::string_view message) noexcept;

  // The last `byteLimit` bytes (negative counts as 0) of the current file, as
  // UTF-8 with every invalid sequence replaced by U+FFFD (a character cut at
  // the start shows as one U+FFFD). Waits until every line queued before the
  // call is in the file. Rotated generations are never included; no file gives
  // "". Must not be called from the writer thread.
  std::string tail(std::int64_t byteLimit);

  // Waits until every line queued before the call is in the file.
  void flush();

  const std::filesystem::path& file() const { return file_; }

  // One line exactly as written: ISO 8601 UTC time with milliseconds, a blank,
  // the bracketed tag, a blank, the message and a line feed, e.g.
  // "2026-03-01T14:05:09.123Z [WARN] Device lost\n".
  static std::string formatLine(LogLevel level, std::string_view message,
                                std::chrono::system_clock::time_point when);

  // A number as it appears in a log line: truncated towards zero ("-2" for
  // -2.7); "nan", "inf" and "-inf" for the values without digits.
  static std::string number(double value);

 private:
  void write(LogLevel level, std::string_view message) noexcept;
  // Runs `work` on the writer thread and waits for it.
  void runOnWriter(const std::function<void()>& work);
  void post(std::function<void()> work);
  void writerLoop();
  void append(const std::string& line);
  void rotateIfNeeded();

  const std::filesystem::path file_;
  const SystemLogSink systemLog_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> pending_;
  bool stopping_ = false;
  std::thread writer_;
};

}  // namespace choralink
