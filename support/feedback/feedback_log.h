// The log attachment of a feedback report: the end of the diagnostic log
// followed by the end of the application's newest crash report, within
// 65536 UTF-8 bytes. Problems reading either only shorten the attachment.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace choralink::FeedbackLog {

// How much of the diagnostic log is asked for and kept.
inline constexpr std::int64_t logTailBytes = 32768;
// Bound of the whole attachment.
inline constexpr std::int64_t maxTotalBytes = 65536;

// The folder the application's crash handler writes its reports to
// (Paths::crashReports(), created on use).
std::filesystem::path diagnosticReportsDir();

// "=== choralink.log (tail) ===", the cleaned end of `logText` and, when the
// folder holds one, a header and the cleaned end of the newest crash report.
std::string collect(std::string_view logText, const std::filesystem::path& crashReportsDir);

// The most recently modified visible regular file in `folder` whose name,
// lower-cased, begins with "choralink" and ends in ".ips" or ".crash";
// nothing if there is none or the folder cannot be listed.
std::optional<std::filesystem::path> latestCrashReport(const std::filesystem::path& folder);

}  // namespace choralink::FeedbackLog
