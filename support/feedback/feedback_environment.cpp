#include <sys/utsname.h>

#include <cctype>
#include <string>

#include "support/feedback/feedback_report.h"

namespace choralink {
namespace {

// The kernel release as major.minor.patch ("6.1.0-18-amd64" gives "6.1.0").
std::string osVersion() {
  utsname names{};
  if (uname(&names) != 0) return "0.0.0";
  int parts[3] = {0, 0, 0};
  const char* p = names.release;
  for (int i = 0; i < 3 && std::isdigit(static_cast<unsigned char>(*p)); ++i) {
    while (std::isdigit(static_cast<unsigned char>(*p)))
      parts[i] = parts[i] * 10 + (*p++ - '0');
    if (*p == '.') ++p;
  }
  return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

}  // namespace

FeedbackEnvironment FeedbackEnvironment::current() {
#if defined(__aarch64__)
  const char* arch = "arm64";
#elif defined(__x86_64__)
  const char* arch = "x86_64";
#else
  const char* arch = "unknown";
#endif
  return FeedbackEnvironment{"1.0.0", "mac", osVersion(), arch};
}

}  // namespace choralink
