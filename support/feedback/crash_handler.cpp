#include "support/feedback/crash_handler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <system_error>

#include "support/app_info.h"
#include "support/paths.h"

namespace choralink::CrashHandler {
namespace {

constexpr std::array<int, 7> kFatalSignals{SIGSEGV, SIGBUS,  SIGILL, SIGFPE,
                                           SIGABRT, SIGTRAP, SIGSYS};
constexpr int kMaxFrames = 64;
constexpr std::size_t kPathCapacity = 4096;
constexpr std::size_t kVersionCapacity = 128;
constexpr std::size_t kAltStackBytes = 64 * 1024;

// Everything the handler needs is prepared here at installation, so that the
// handler never allocates.
char gReportsDir[kPathCapacity];
char gVersion[kVersionCapacity];
struct sigaction gPrevious[kFatalSignals.size()];
alignas(16) char gAltStack[kAltStackBytes];
std::atomic<bool> gInstalled{false};
std::atomic<bool> gHandling{false};

// A fixed-size text buffer filled without allocation.
class Line {
 public:
  void add(const char* text) {
    while (*text != '\0' && length_ < sizeof(buffer_) - 1)
      buffer_[length_++] = *text++;
    buffer_[length_] = '\0';
  }
  void add(char c) {
    const char text[2] = {c, '\0'};
    add(text);
  }
  void addNumber(std::uint64_t value, int minDigits = 1) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 && n < 24);
    while (n < minDigits && n < 24)
      digits[n++] = '0';
    while (n > 0)
      add(digits[--n]);
  }
  void addHex(std::uintptr_t value) {
    add("0x");
    char digits[2 * sizeof(value)];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[value & 0xF];
      value >>= 4;
    } while (value != 0);
    while (n > 0)
      add(digits[--n]);
  }
  const char* text() const { return buffer_; }
  std::size_t size() const { return length_; }

 private:
  char buffer_[kPathCapacity + 256] = {};
  std::size_t length_ = 0;
};

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void writeLine(int fd, const Line& line) {
  writeAll(fd, line.text(), line.size());
}

const char* signalName(int sig) {
  switch (sig) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGILL:
      return "SIGILL";
    case SIGFPE:
      return "SIGFPE";
    case SIGABRT:
      return "SIGABRT";
    case SIGTRAP:
      return "SIGTRAP";
    case SIGSYS:
      return "SIGSYS";
    default:
      return "unknown";
  }
}

struct CivilTime {
  std::int64_t year;
  unsigned month, day, hour, minute, second;
};

// Days since 1970-01-01 to a proleptic Gregorian date, by arithmetic alone
// (gmtime is not async-signal-safe).
CivilTime civilFromEpoch(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
  return CivilTime{year,
                   month,
                   day,
                   static_cast<unsigned>(rest / 3600),
                   static_cast<unsigned>(rest % 3600 / 60),
                   static_cast<unsigned>(rest % 60)};
}

void writeReport(int sig, const siginfo_t* info) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const CivilTime t = civilFromEpoch(now.tv_sec);
  const auto pid = static_cast<std::uint64_t>(getpid());

  Line name;
  name.add("choralink-");
  name.addNumber(static_cast<std::uint64_t>(t.year), 4);
  name.add('-');
  name.addNumber(t.month, 2);
  name.add('-');
  name.addNumber(t.day, 2);
  name.add('-');
  name.addNumber(t.hour, 2);
  name.addNumber(t.minute, 2);
  name.addNumber(t.second, 2);
  name.add('-');
  name.addNumber(pid);
  name.add(".crash");

  // Written under a hidden name and renamed when complete, so a reader never
  // picks up half a report.
  Line finalPath;
  finalPath.add(gReportsDir);
  finalPath.add('/');
  finalPath.add(name.text());
  Line partialPath;
  partialPath.add(gReportsDir);
  partialPath.add("/.");
  partialPath.add(name.text());
  partialPath.add(".partial");

  const int fd = ::open(partialPath.text(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;

  Line header;
  header.add("Choralink crash report\nTime: ");
  header.addNumber(static_cast<std::uint64_t>(t.year), 4);
  header.add('-');
  header.addNumber(t.month, 2);
  header.add('-');
  header.addNumber(t.day, 2);
  header.add('T');
  header.addNumber(t.hour, 2);
  header.add(':');
  header.addNumber(t.minute, 2);
  header.add(':');
  header.addNumber(t.second, 2);
  header.add('.');
  header.addNumber(static_cast<std::uint64_t>(now.tv_nsec / 1000000), 3);
  header.add("Z\nSignal: ");
  header.addNumber(static_cast<std::uint64_t>(sig));
  header.add(" (");
  header.add(signalName(sig));
  header.add(")\n");
  if (info != nullptr && (sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE)) {
    header.add("Address: ");
    header.addHex(reinterpret_cast<std::uintptr_t>(info->si_addr));
    header.add('\n');
  }
  header.add("Version: ");
  header.add(gVersion);
  header.add("\nProcess: ");
  header.addNumber(pid);
  header.add("\nBacktrace:\n");
  writeLine(fd, header);

  void* frames[kMaxFrames];
  const int count = backtrace(frames, kMaxFrames);
  backtrace_symbols_fd(frames, count, fd);

  ::close(fd);
  ::rename(partialPath.text(), finalPath.text());
}

std::size_t indexOf(int sig) {
  for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
    if (kFatalSignals[i] == sig) return i;
  }
  return 0;
}

void onFatalSignal(int sig, siginfo_t* info, void*) {
  // Only the first crash writes a report; a second fault (in another thread,
  // or inside this handler) goes straight to the re-raise.
  if (!gHandling.exchange(true)) writeReport(sig, info);

  // Hand the signal to whoever handled it before us (the default action, or a
  // sanitizer's reporter) and raise it again.
  struct sigaction previous = gPrevious[indexOf(sig)];
  if (previous.sa_handler == SIG_IGN) previous.sa_handler = SIG_DFL;
  sigaction(sig, &previous, nullptr);
  raise(sig);

  // Still alive: the previous handler returned. Die by the default action.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(sig, &fallback, nullptr);
  raise(sig);
}

}  // namespace

bool install(const std::filesystem::path& reportsDir, const std::string& version) {
  const std::string dir = reportsDir.string();
  if (dir.empty() || dir.size() + 64 >= kPathCapacity) return false;
  if (gInstalled.exchange(true)) return false;

  std::error_code ignored;
  std::filesystem::create_directories(reportsDir, ignored);
  std::memcpy(gReportsDir, dir.c_str(), dir.size() + 1);
  const std::size_t versionLength = std::min(version.size(), kVersionCapacity - 1);
  std::memcpy(gVersion, version.data(), versionLength);
  gVersion[versionLength] = '\0';

  // The first backtrace() call loads libgcc's unwinder, which allocates; do
  // it now rather than inside the handler.
  void* warmUp[1];
  (void)backtrace(warmUp, 1);

  stack_t altStack{};
  altStack.ss_sp = gAltStack;
  altStack.ss_size = sizeof(gAltStack);
  sigaltstack(&altStack, nullptr);

  for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
    struct sigaction action {};
    action.sa_sigaction = &onFatalSignal;
    sigemptyset(&action.sa_mask);
    // SA_NODEFER lets the re-raise inside the handler take effect at once.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigaction(kFatalSignals[i], &action, &gPrevious[i]);
  }
  return true;
}

bool install() {
  return install(Paths::crashReports(), std::string(AppInfo::version()));
}

}  // namespace choralink::CrashHandler
