#include "support/feedback/crash_handler.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

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

struct Child {
  pid_t pid;
  int status;
};

// Runs `crash` in a forked child that has installed the crash handler, and
// waits for it to end.
template <typename F>
Child runCrashingChild(const fs::path& reportsDir, F crash) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!CrashHandler::install(reportsDir, "9.8.7")) ::_exit(90);
    crash();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {pid, status};
}

std::vector<fs::path> entries(const fs::path& dir) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir))
    found.push_back(entry.path());
  return found;
}

std::string readAll(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
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
  const Child child = runCrashingChild(dir.path() / "crashes", [] { std::abort(); });
  ASSERT_TRUE(WIFSIGNALED(child.status)) << "status " << child.status;
  EXPECT_EQ(WTERMSIG(child.status), SIGABRT);

  const auto reports = entries(dir.path() / "crashes");
  ASSERT_EQ(reports.size(), 1u);
  const std::string name = reports[0].filename().string();
  EXPECT_THAT(name, MatchesRegex("choralink-[0-9]{4}-[0-9]{2}-[0-9]{2}-[0-9]{6}-" +
                                 std::to_string(child.pid) + "\\.crash"));

  const std::string report = readAll(reports[0]);
  EXPECT_THAT(report, ContainsRegex("^Choralink crash report\n"
                                    "Time: [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}"
                                    "\\.[0-9]{3}Z\n"
                                    "Signal: 6 \\(SIGABRT\\)\n"
                                    "Version: 9\\.8\\.7\n"));
  EXPECT_THAT(report, HasSubstr("Process: " + std::to_string(child.pid) + "\n"));
  // The backtrace has frames after its heading.
  const std::size_t backtrace = report.find("Backtrace:\n");
  ASSERT_NE(backtrace, std::string::npos);
  EXPECT_GT(report.size(), backtrace + 20);
}

TEST(CrashHandler, AStackOverflowIsReportedFromTheAlternateStack) {
  TempFolder dir;
  const Child child = runCrashingChild(dir.path(), [] { (void)gExhaustStack(0); });
  EXPECT_FALSE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0);
  const auto reports = entries(dir.path());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_THAT(readAll(reports[0]), HasSubstr("Signal: 11 (SIGSEGV)\nAddress: 0x"));
}

TEST(CrashHandler, TheApplicationsHandlerWritesWhereFeedbackLooks) {
  TempFolder state;
  test::ScopedEnv guard("XDG_STATE_HOME", state.path().string());
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!CrashHandler::install()) ::_exit(90);
    std::abort();
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));

  const std::string attachment = FeedbackLog::collect("", FeedbackLog::diagnosticReportsDir());
  EXPECT_THAT(attachment, HasSubstr("=== crash report: choralink-"));
  EXPECT_THAT(attachment, HasSubstr("Version: " + std::string(AppInfo::version()) + "\n"));
}

TEST(CrashHandler, InstallsOnlyOnce) {
  TempFolder dir;
  const pid_t pid = ::fork();
  if (pid == 0) {
    const bool first = CrashHandler::install(dir.path(), "1");
    const bool second = CrashHandler::install(dir.path(), "2");
    ::_exit(first && !second ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // Installing writes nothing.
  EXPECT_TRUE(entries(dir.path()).empty());
}

}  // namespace
}  // namespace choralink
