#include "support/feedback/crash_handler.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>

#include "support/app_info.h"
#include "support/feedback/feedback_log.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_folder.h"

namespace choralink {
namespace {

using test::TempFolder;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
namespace fs = std::filesystem;

// Runs `body` in a forked child (which ends with status 0 if `body` returns)
// and waits for it; returns the child's pid and wait status.
template <typename F>
std::pair<pid_t, int> inChild(F body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {pid, status};
}

// Runs `crash` in a child that has installed the crash handler.
template <typename F>
std::pair<pid_t, int> runCrashingChild(const fs::path& reportsDir, F crash) {
  return inChild([&] {
    if (!CrashHandler::install(reportsDir, "9.8.7")) ::_exit(90);
    crash();
  });
}

// Recurses (through a pointer the compiler cannot see through) until the
// stack runs out; the volatile buffer keeps every frame alive.
extern int (*volatile gExhaustStack)(int);
volatile int gDepthLimit = 1 << 30;
int exhaustStack(int depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  if (depth >= gDepthLimit) return frame[0];
  return gExhaustStack(depth + 1) + frame[0];
}
int (*volatile gExhaustStack)(int) = &exhaustStack;

TEST(CrashHandler, AnAbortLeavesAReportAndStillKillsTheProcess) {
  TempFolder dir;
  const auto [pid, status] = runCrashingChild(dir / "crashes", [] { std::abort(); });
  ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
  EXPECT_EQ(WTERMSIG(status), SIGABRT);

  const auto reports = test::listFolder(dir / "crashes");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_THAT(reports[0], MatchesRegex("choralink-[0-9]{4}-[0-9]{2}-[0-9]{2}-[0-9]{6}-" +
                                       std::to_string(pid) + "\\.crash"));

  const std::string report = test::readFile(dir / "crashes" / reports[0]);
  EXPECT_THAT(report, ContainsRegex("^Choralink crash report\n"
                                    "Time: [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}"
                                    "\\.[0-9]{3}Z\n"
                                    "Signal: 6 \\(SIGABRT\\)\n"
                                    "Version: 9\\.8\\.7\n"));
  EXPECT_THAT(report, HasSubstr("Process: " + std::to_string(pid) + "\n"));
  // The backtrace has frames after its heading.
  const std::size_t backtrace = report.find("Backtrace:\n");
  ASSERT_NE(backtrace, std::string::npos);
  EXPECT_GT(report.size(), backtrace + 20);
}

TEST(CrashHandler, AStackOverflowIsReportedFromTheAlternateStack) {
  TempFolder dir;
  const int status = runCrashingChild(dir.path(), [] { (void)gExhaustStack(0); }).second;
  EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const auto reports = test::listFolder(dir.path());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_THAT(test::readFile(dir / reports[0]), HasSubstr("Signal: 11 (SIGSEGV)\nAddress: 0x"));
}

TEST(CrashHandler, TheApplicationsHandlerWritesWhereFeedbackLooks) {
  TempFolder state;
  test::ScopedEnv guard("XDG_STATE_HOME", state.path().string());
  const int status = inChild([] {
                       if (CrashHandler::install()) std::abort();
                     }).second;
  ASSERT_TRUE(WIFSIGNALED(status));

  const std::string attachment = FeedbackLog::collect("", FeedbackLog::diagnosticReportsDir());
  EXPECT_THAT(attachment, HasSubstr("=== crash report: choralink-"));
  EXPECT_THAT(attachment, HasSubstr("Version: " + std::string(AppInfo::version()) + "\n"));
}

TEST(CrashHandler, InstallsOnlyOnceAndInstallingWritesNothing) {
  TempFolder dir;
  const int status =
      inChild([&] {
        if (!CrashHandler::install(dir.path(), "1") || CrashHandler::install(dir.path(), "2"))
          ::_exit(1);
      }).second;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(test::listFolder(dir.path()).empty());
}

}  // namespace
}  // namespace choralink
