#include "support/log.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <future>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "support/app_info.h"
#include "support/paths.h"

// Defined when GoogleTest is linked into the process; resolves to null in the
// application. Declared by its linker name because the class is not ours.
extern "C" void* choralinkGoogleTestInstance() __asm__("_ZN7testing8UnitTest11GetInstanceEv")
    __attribute__((weak));

namespace choralink {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTestLogName = "choralink-tests.log";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// A test program must never write into the user's log: it is recognised by
// GoogleTest being linked in, or by the project's naming of test programs
// ("<area>_tests") for harnesses built without it.
bool isTestProgram() {
  if (&choralinkGoogleTestInstance != nullptr) return true;
  std::string_view name = program_invocation_short_name;
  return name.ends_with("_tests") || name.ends_with("_test");
}

fs::path testLogFile() {
  std::error_code error;
  fs::path folder = fs::temp_directory_path(error);
  return (error ? fs::path("/tmp") : folder) / kTestLogName;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool isContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Decodes `bytes` as UTF-8, replacing each maximal invalid subpart with
// U+FFFD as Unicode recommends. A run of continuation bytes at the very start
// is what remains of one character cut by the tail, so it becomes a single
// U+FFFD rather than one per byte.
std::string repairUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  if (!bytes.empty() && isContinuation(static_cast<unsigned char>(bytes[0]))) {
    while (i < bytes.size() && i < 3 && isContinuation(static_cast<unsigned char>(bytes[i])))
      ++i;
    out += kReplacement;
  }
  while (i < bytes.size()) {
    auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;   // range of the second byte, which excludes
    unsigned char high = 0xBF;  // overlong forms, surrogates and > U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t valid = 1;
    while (valid < length && i + valid < bytes.size()) {
      auto next = static_cast<unsigned char>(bytes[i + valid]);
      bool inRange = valid == 1 ? (next >= low && next <= high) : isContinuation(next);
      if (!inRange) break;
      ++valid;
    }
    if (valid == length) {
      out.append(bytes.substr(i, length));
    } else {
      out += kReplacement;
    }
    i += valid;
  }
  return out;
}

// The kernel keeps 15 bytes of a thread name; the reverse-DNS "app." prefix
// is the part that tells least.
void nameWriterThread() {
  std::string name(Log::queueLabel.substr(Log::queueLabel.find('.') + 1));
  name.resize(std::min<std::size_t>(name.size(), 15));
  ::pthread_setname_np(::pthread_self(), name.c_str());
}

}  // namespace

std::string_view tag(LogLevel level) {
  switch (level) {
    case LogLevel::info:
      return "INFO";
    case LogLevel::warn:
      return "WARN";
    case LogLevel::error:
      return "ERROR";
  }
  return "ERROR";
}

Log& Log::shared() {
  static Log* const instance = [] {
    // Never destroyed: code running in static destructors may still log.
    // Lines still queued at exit are written by the exit handler instead.
    Log* log = new Log(isTestProgram() ? testLogFile() : Paths::logFile());
    std::atexit([] { Log::shared().flush(); });
    return log;
  }();
  return *instance;
}

Log::SystemLogSink Log::syslogSink() {
  if (isTestProgram()) return {};
  return [](LogLevel level, std::string_view message) {
    static std::once_flag opened;
    std::call_once(opened, [] {
      // openlog keeps the pointer, so the identifier must outlive every call.
      static const std::string identifier(AppInfo::bundleID());
      ::openlog(identifier.c_str(), LOG_PID, LOG_USER);
    });
    int priority = systemLogPriority(level);
    int length = static_cast<int>(std::min<std::size_t>(message.size(), INT_MAX));
    ::syslog(priority, "%.*s", length, message.data());
  };
}

int Log::systemLogPriority(LogLevel level) {
  return level == LogLevel::info ? LOG_INFO : LOG_ERR;
}

Log::Log(fs::path file, SystemLogSink systemLog)
    : file_(std::move(file)), systemLog_(std::move(systemLog)) {
  try {
    writer_ = std::thread([this] { writerLoop(); });
  } catch (const std::system_error&) {
    // Without a writer thread the log degrades to the system log alone.
  }
}

Log::~Log() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (writer_.joinable()) writer_.join();
}

void Log::info(std::string_view message) noexcept {
  write(LogLevel::info, message);
}
void Log::warn(std::string_view message) noexcept {
  write(LogLevel::warn, message);
}
void Log::error(std::string_view message) noexcept {
  write(LogLevel::error, message);
}

void Log::write(LogLevel level, std::string_view message) noexcept {
  try {
    std::string line = formatLine(level, message, std::chrono::system_clock::now());
    post([this, line = std::move(line)] { append(line); });
  } catch (...) {
    // Out of memory: the line is lost, the caller carries on.
  }
  try {
    if (systemLog_) systemLog_(level, message);
  } catch (...) {
  }
}

void Log::post(std::function<void()> work) {
  if (!writer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void Log::runOnWriter(const std::function<void()>& work) {
  assert(std::this_thread::get_id() != writer_.get_id() && "would wait for itself");
  if (!writer_.joinable() || std::this_thread::get_id() == writer_.get_id()) {
    work();
    return;
  }
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  post([&] {
    try {
      work();
    } catch (...) {
    }
    done.set_value();
  });
  finished.wait();
}

void Log::flush() {
  runOnWriter([] {});
}

void Log::writerLoop() {
  nameWriterThread();
  std::deque<std::function<void()>> batch;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
      if (pending_.empty()) return;  // stopping, and everything is written
      batch.swap(pending_);
    }
    for (auto& work : batch) {
      try {
        work();
      } catch (...) {
      }
    }
    batch.clear();
  }
}

void Log::append(const std::string& line) {
  rotateIfNeeded();
  // O_APPEND|O_CREAT covers both "append to the file" and "start a new one".
  int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  writeAll(fd, line);
  ::close(fd);
}

void Log::rotateIfNeeded() {
  struct stat info {};
  if (::stat(file_.c_str(), &info) != 0 || info.st_size < maxBytes) return;
  auto generation = [this](int n) { return file_.string() + "." + std::to_string(n); };
  // Oldest first, so no generation is overwritten before it has moved on.
  // Each failed step is ignored and the next one still runs.
  for (int n = keep - 1; n >= 1; --n) {
    ::unlink(generation(n + 1).c_str());
    ::rename(generation(n).c_str(), generation(n + 1).c_str());
  }
  ::unlink(generation(1).c_str());
  ::rename(file_.c_str(), generation(1).c_str());
}

std::string Log::tail(std::int64_t byteLimit) {
  std::string bytes;
  const off_t limit = static_cast<off_t>(std::max<std::int64_t>(byteLimit, 0));
  runOnWriter([&] {
    int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info {};
    off_t size = ::fstat(fd, &info) == 0 ? info.st_size : 0;
    off_t offset = size > limit ? size - limit : 0;
    bytes.resize(static_cast<std::size_t>(size - offset));
    std::size_t filled = 0;
    while (filled < bytes.size()) {
      ssize_t got = ::pread(fd, bytes.data() + filled, bytes.size() - filled,
                            offset + static_cast<off_t>(filled));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    ::close(fd);
  });
  return repairUtf8(bytes);
}

std::string Log::formatLine(LogLevel level, std::string_view message,
                            std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto millis = floor<milliseconds>(when);
  const auto seconds = floor<std::chrono::seconds>(millis);
  const std::time_t time = system_clock::to_time_t(seconds);
  std::tm utc{};
  ::gmtime_r(&time, &utc);
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z [{}] {}\n", utc, (millis - seconds).count(),
                     tag(level), message);
}

std::string Log::number(double value) {
  // Adding 0.0 turns the -0.0 of a truncated -0.5 into 0.
  return fmt::format("{:.0f}", std::trunc(value) + 0.0);
}

}  // namespace choralink
