#include "support/app_info.h"

#include <sys/utsname.h>

#include <array>
#include <cctype>

namespace choralink::AppInfo {
namespace {

constexpr std::string_view kFallbackVersion = "1.0.0";

}  // namespace

std::string_view bundleID() {
  return "app.choralink.mac";
}

std::string_view version() {
  return versionOrFallback(CHORALINK_VERSION);
}

std::string osVersion() {
  utsname names{};
  if (::uname(&names) != 0) return threePartVersion("");
  return threePartVersion(names.release);
}

std::string_view arch() {
#if defined(__x86_64__)
  return "x86_64";
#elif defined(__aarch64__)
  return "arm64";
#elif defined(__i386__)
  return "i386";
#elif defined(__arm__)
  return "arm";
#elif defined(__riscv) && __riscv_xlen == 64
  return "riscv64";
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return "ppc64le";
#else
  return "unknown";
#endif
}

std::string_view serviceHost() {
  return CHORALINK_SERVICE_HOST;
}

std::string_view versionOrFallback(std::string_view buildVersion) {
  bool usable = !buildVersion.empty();
  for (char c : buildVersion) {
    if (std::isspace(static_cast<unsigned char>(c)) || !std::isprint(static_cast<unsigned char>(c)))
      usable = false;
  }
  return usable ? buildVersion : kFallbackVersion;
}

std::string threePartVersion(std::string_view release) {
  std::array<std::string, 3> parts{"0", "0", "0"};
  std::size_t part = 0;
  std::size_t i = 0;
  while (part < parts.size() && i < release.size() &&
         std::isdigit(static_cast<unsigned char>(release[i]))) {
    std::size_t start = i;
    while (i < release.size() && std::isdigit(static_cast<unsigned char>(release[i])))
      ++i;
    std::string_view digits = release.substr(start, i - start);
    // "007" and "7" are the same number; keep one zero for "000".
    std::size_t firstNonZero = digits.find_first_not_of('0');
    parts[part++] = firstNonZero == std::string_view::npos ? "0" : digits.substr(firstNonZero);
    if (i < release.size() && release[i] == '.') {
      ++i;
    } else {
      break;
    }
  }
  return parts[0] + "." + parts[1] + "." + parts[2];
}

}  // namespace choralink::AppInfo
