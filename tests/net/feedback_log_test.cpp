#include "support/feedback/feedback_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "tests/common/temp_folder.h"

namespace choralink {
namespace {

using test::TempFolder;

namespace fs = std::filesystem;

constexpr std::string_view kHeader = "=== choralink.log (tail) ===\n";

// Sets a file's modification time `age` before a fixed reference moment.
void age(const fs::path& file, std::chrono::seconds age) {
  const auto reference = fs::file_time_type::clock::now();
  fs::last_write_time(file, reference - age);
}

TEST(FeedbackLogCollect, WithoutCrashReportsIsTheHeaderAndTheCleanedLog) {
  TempFolder dir;
  EXPECT_EQ(FeedbackLog::collect("line 1\r\nline 2\n\n\n\n", dir.path() / "absent"),
            std::string(kHeader) + "line 1\nline 2\n\n");
  EXPECT_EQ(FeedbackLog::collect("", dir.path()), std::string(kHeader));
}

TEST(FeedbackLogLatest, OnlyThisApplicationsReportsCount) {
  TempFolder dir;
  for (const char* name : {"otherapp-2026-03-01.crash", "choralink-notes.txt",
                           ".choralink-hidden.crash", "choralink.crash.partial"})
    test::writeFile(dir / name, "x");
  fs::create_directory(dir.path() / "choralink-folder.crash");
  EXPECT_EQ(FeedbackLog::latestCrashReport(dir.path()), std::nullopt);
  EXPECT_EQ(FeedbackLog::collect("log", dir.path()), std::string(kHeader) + "log");
  EXPECT_EQ(FeedbackLog::latestCrashReport(dir.path() / "absent"), std::nullopt);
}

TEST(FeedbackLogLatest, PicksTheMostRecentlyModifiedWhateverTheCase) {
  TempFolder dir;
  age(test::writeFile(dir / "choralink-a.crash", "a"), std::chrono::hours(3));
  age(test::writeFile(dir / "Choralink-b.IPS", "b"), std::chrono::hours(1));
  age(test::writeFile(dir / "CHORALINK-c.Crash", "c"), std::chrono::hours(2));
  EXPECT_EQ(FeedbackLog::latestCrashReport(dir.path()), dir.path() / "Choralink-b.IPS");
}

TEST(FeedbackLogCollect, AppendsTheNewestCrashReportCleaned) {
  TempFolder dir;
  age(test::writeFile(dir / "choralink-old.crash", "old report"), std::chrono::hours(2));
  test::writeFile(dir / "choralink-new.crash", "Signal: 11\r\n\x1B[1mframe\xFF\u202E\n\n\n\nend");
  EXPECT_EQ(FeedbackLog::collect("log\n", dir.path()),
            std::string(kHeader) + "log\n" +
                "\n\n=== crash report: choralink-new.crash (tail) ===\n" +
                "Signal: 11\n[1mframe\uFFFD\n\nend");
}

TEST(FeedbackLogCollect, TheCrashReportGetsWhatRoomIsLeft) {
  TempFolder dir;
  std::string report = "BEGIN";
  while (report.size() < 100000)
    report += "frame 0x0000 in something\n";
  report += "END";
  test::writeFile(dir / "choralink-big.crash", report);
  // The log's newest end is kept: its last character is the mark.
  const std::string log = std::string(39999, 'L') + "N";

  const std::string attachment = FeedbackLog::collect(log, dir.path());
  const std::string header = "\n\n=== crash report: choralink-big.crash (tail) ===\n";
  EXPECT_EQ(attachment.size(), 65536u);
  const std::size_t room = 65536 - kHeader.size() - 32768 - header.size();
  EXPECT_EQ(attachment, std::string(kHeader) + std::string(32767, 'L') + "N" + header +
                            report.substr(report.size() - room));
}

TEST(FeedbackLogCollect, UnreadableReportsAreLeftOut) {
  // /proc/self/mem is a regular file whose first page cannot be read (EIO),
  // even by a privileged user.
  TempFolder dir;
  age(test::writeFile(dir / "choralink-old.crash", "older report"), std::chrono::hours(1));
  fs::create_symlink("/proc/self/mem", dir.path() / "choralink-mem.crash");
  EXPECT_EQ(FeedbackLog::collect("log", dir.path()), std::string(kHeader) + "log");
}

}  // namespace
}  // namespace choralink
