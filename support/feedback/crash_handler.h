// The application's crash handler: on a fatal signal it writes a small report
// (time, signal, version, process, backtrace) into the crash folder, then lets
// the signal take its course, so the process still dies as it would have.
// FeedbackLog attaches the newest such report to the next feedback.
//
// Install once, early, from the main thread. The handler itself uses only
// async-signal-safe calls; the one exception, backtrace(3), is made safe by
// calling it once at installation, which loads the unwinder before any crash.
// The alternate signal stack (for stack overflows) covers the installing
// thread only.
#pragma once

#include <filesystem>
#include <string>

namespace choralink::CrashHandler {

// Creates `reportsDir` if needed and installs the handler for SIGSEGV, SIGBUS,
// SIGILL, SIGFPE, SIGABRT, SIGTRAP and SIGSYS. Reports are named
// "choralink-YYYY-MM-DD-HHMMSS-<pid>.crash" (UTC) and appear complete or not
// at all. Returns false when already installed, or when the folder path is
// too long to use in a signal handler.
bool install(const std::filesystem::path& reportsDir, const std::string& version);

// The application's own: Paths::crashReports() and AppInfo::version().
bool install();

}  // namespace choralink::CrashHandler
