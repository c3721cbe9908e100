#include "support/feedback/feedback_log.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <system_error>

#include "support/feedback/feedback_sanitizer.h"
#include "support/paths.h"

namespace choralink::FeedbackLog {
namespace {

constexpr std::string_view kLogHeader = "=== choralink.log (tail) ===\n";

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool isCrashReportName(const std::string& name) {
  const std::string lowered = lower(name);
  if (!lowered.starts_with("choralink")) return false;
  const std::size_t dot = lowered.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string_view ext = std::string_view(lowered).substr(dot + 1);
  return ext == "ips" || ext == "crash";
}

// Plain stdio: a read error must end in "unreadable", never in an exception
// (libstdc++'s file buffers throw on read errors).
std::optional<std::string> readFile(const std::filesystem::path& file) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(file.c_str(), "rb"), &std::fclose);
  if (!in) return std::nullopt;
  std::string bytes;
  char buffer[16384];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof(buffer), in.get())) > 0)
    bytes.append(buffer, n);
  if (std::ferror(in.get())) return std::nullopt;
  return bytes;
}

}  // namespace

std::filesystem::path diagnosticReportsDir() {
  return Paths::crashReports();
}

std::optional<std::filesystem::path> latestCrashReport(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::directory_iterator it(folder, error);
  if (error) return std::nullopt;

  std::optional<std::filesystem::path> newest;
  std::optional<std::filesystem::file_time_type> newestTime;
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) break;
    const std::string name = it->path().filename().string();
    if (name.starts_with(".") || !isCrashReportName(name)) continue;
    std::error_code entryError;
    if (!it->is_regular_file(entryError)) continue;
    const auto time = std::filesystem::last_write_time(it->path(), entryError);
    // An entry without a readable date counts as older than every dated one.
    if (entryError) {
      if (!newest) newest = it->path();
      continue;
    }
    if (!newestTime || time > *newestTime) {
      newest = it->path();
      newestTime = time;
    }
  }
  return newest;
}

std::string collect(std::string_view logText, const std::filesystem::path& crashReportsDir) {
  std::string attachment(kLogHeader);
  attachment += FeedbackSanitizer::tailUTF8(FeedbackSanitizer::log(logText), logTailBytes);

  if (const auto report = latestCrashReport(crashReportsDir)) {
    if (const auto bytes = readFile(*report)) {
      const std::string header =
          "\n\n=== crash report: " + report->filename().string() + " (tail) ===\n";
      const std::int64_t room = maxTotalBytes - static_cast<std::int64_t>(attachment.size()) -
                                static_cast<std::int64_t>(header.size());
      if (room > 0) {
        attachment += header;
        // log() decodes with U+FFFD for ill-formed bytes.
        attachment += FeedbackSanitizer::tailUTF8(FeedbackSanitizer::log(*bytes), room);
      }
    }
  }
  return FeedbackSanitizer::tailUTF8(attachment, maxTotalBytes);
}

}  // namespace choralink::FeedbackLog
