#include "support/log.h"

#include <syslog.h>

#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "tests/common/log_capture.h"
#include "tests/support/support_fixture.h"

namespace choralink {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::system_clock;
using test::lines;
using test::listFolder;
using test::readFile;
using test::TempFolder;
using test::writeFile;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

system_clock::time_point utc(int year, unsigned month, unsigned day, int hour, int minute,
                             int second, int millis) {
  using namespace std::chrono;
  sys_days date =
      year_month_day(std::chrono::year(year), std::chrono::month(month), std::chrono::day(day));
  return date + hours(hour) + minutes(minute) + seconds(second) + milliseconds(millis);
}

// A log of its own in a private folder, with a system-log sink that records.
class LogTest : public ::testing::Test {
 protected:
  std::unique_ptr<Log> makeLog(const fs::path& file) {
    return std::make_unique<Log>(file, [this](LogLevel level, std::string_view message) {
      std::lock_guard lock(mirroredMutex);
      mirrored.push_back({level, std::string(message)});
    });
  }

  fs::path logFile() const { return folder / "choralink.log"; }

  TempFolder folder;
  std::mutex mirroredMutex;
  std::vector<test::LogLine> mirrored;
  std::unique_ptr<Log> log = makeLog(logFile());
};

TEST(LogFormatTest, LineIsIsoTimeBracketedTagAndTheMessageUnchanged) {
  const auto when = utc(2026, 3, 1, 14, 5, 9, 123);
  EXPECT_EQ(Log::formatLine(LogLevel::warn, "Device lost", when),
            "2026-03-01T14:05:09.123Z [WARN] Device lost\n");
  EXPECT_EQ(Log::formatLine(LogLevel::info, "two\nlines {} %s", when),
            "2026-03-01T14:05:09.123Z [INFO] two\nlines {} %s\n");
  EXPECT_EQ(Log::formatLine(LogLevel::info, "", when), "2026-03-01T14:05:09.123Z [INFO] \n");
  // Milliseconds are padded and truncated.
  EXPECT_EQ(Log::formatLine(LogLevel::info, "m", utc(2025, 12, 31, 23, 59, 59, 7)),
            "2025-12-31T23:59:59.007Z [INFO] m\n");
  const auto almostNextMilli = utc(2024, 2, 29, 0, 0, 0, 999) + std::chrono::microseconds(999);
  EXPECT_EQ(Log::formatLine(LogLevel::info, "m", almostNextMilli),
            "2024-02-29T00:00:00.999Z [INFO] m\n");
}

TEST(LogFormatTest, NumbersAreTruncatedTowardsZero) {
  EXPECT_EQ(Log::number(2.7), "2");
  EXPECT_EQ(Log::number(-2.7), "-2");
  EXPECT_EQ(Log::number(-0.4), "0");
  EXPECT_EQ(Log::number(48000.0), "48000");
  EXPECT_EQ(Log::number(1e20), "100000000000000000000");
  EXPECT_EQ(Log::number(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(Log::number(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(Log::number(std::nan("")), "nan");
}

TEST_F(LogTest, EachLevelGoesToTheFileAndTheSystemLog) {
  log->info("one");
  log->warn("two");
  log->error("three");
  log->flush();
  EXPECT_EQ(test::fileMessages(*log),
            (std::vector<std::string>{"[INFO] one", "[WARN] two", "[ERROR] three"}));

  std::lock_guard lock(mirroredMutex);
  ASSERT_EQ(mirrored.size(), 3u);
  EXPECT_EQ(mirrored[1], (test::LogLine{LogLevel::warn, "two"}));
  EXPECT_EQ(Log::systemLogPriority(LogLevel::info), LOG_INFO);
  EXPECT_EQ(Log::systemLogPriority(LogLevel::warn), LOG_ERR);
  EXPECT_EQ(Log::systemLogPriority(LogLevel::error), LOG_ERR);
}

TEST_F(LogTest, TailAndDestructionTakeEveryLineQueuedBeforeThem) {
  for (int n = 0; n < 500; ++n)
    log->info("queued");
  EXPECT_EQ(lines(log->tail(1'000'000)).size(), 500u);
  for (int n = 0; n < 500; ++n)
    log->info("queued");
  log.reset();
  EXPECT_EQ(lines(readFile(logFile())).size(), 1000u);
}

TEST_F(LogTest, BelowTheLimitAppendsAtItRotatesShiftingGenerationsAndDroppingTheOldest) {
  writeFile(logFile(), std::string(Log::maxBytes - 1, 'x'));
  log->info("next");
  log->flush();
  EXPECT_EQ(listFolder(folder.path()), std::vector<std::string>{"choralink.log"});
  EXPECT_TRUE(readFile(logFile()).ends_with("[INFO] next\n"));

  writeFile(logFile(), std::string(Log::maxBytes, 'c'));
  writeFile(folder / "choralink.log.1", "generation 1");
  writeFile(folder / "choralink.log.2", "generation 2");
  writeFile(folder / "choralink.log.3", "generation 3");
  log->info("fresh");
  log->flush();
  EXPECT_EQ(readFile(folder / "choralink.log.1"), std::string(Log::maxBytes, 'c'));
  EXPECT_EQ(readFile(folder / "choralink.log.2"), "generation 1");
  EXPECT_EQ(readFile(folder / "choralink.log.3"), "generation 2");
  EXPECT_EQ(listFolder(folder.path()),
            (std::vector<std::string>{"choralink.log", "choralink.log.1", "choralink.log.2",
                                      "choralink.log.3"}));
  EXPECT_EQ(test::fileMessages(*log), std::vector<std::string>{"[INFO] fresh"});
}

TEST_F(LogTest, ConcurrentWritersLoseNoLineAndInterleaveNone) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 2000;
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        for (int n = 0; n < kPerThread; ++n) {
          const std::string line = fmt::format("writer {} line {} end", t, n);
          n % 3 == 0 ? log->warn(line) : log->info(line);
        }
      });
    }
  }
  log->flush();

  const std::regex whole(
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[(INFO|WARN)\] writer (\d) line (\d+) end)");
  std::vector<int> next(kThreads, 0);
  std::size_t count = 0;
  for (const std::string& line : lines(readFile(logFile()))) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, whole)) << line;
    int thread = std::stoi(match[2]);
    ASSERT_EQ(std::stoi(match[3]), next[thread]) << "out of order for writer " << thread;
    ++next[thread];
    ++count;
  }
  EXPECT_EQ(count, static_cast<std::size_t>(kThreads * kPerThread));
}

// The tail is the file's end, nothing for an empty request or without a file.
// One that starts inside a character begins with one replacement; inside,
// each maximal invalid subpart becomes one U+FFFD: overlong and surrogate
// forms byte by byte, a character cut at the end as one.
TEST_F(LogTest, TailIsTheEndOfTheFileWithCutAndInvalidCharactersReplaced) {
  EXPECT_EQ(log->tail(1000), "") << "no file yet";
  const std::string r(kReplacement);
  const std::string invalid =
      "a\xFF"
      "b\xC0\xAF"
      "c\xED\xA0\x80"
      "e\xF5\x80\x80\x80"  // no character starts with F5
      "d\xE2\x82";
  const struct {
    std::string file;
    int bytes;
    std::string tail;
  } cases[] = {
      {"0123456789", 4, "6789"},
      {"0123456789", 10, "0123456789"},
      {"0123456789", 1'000'000, "0123456789"},
      {"0123456789", 0, ""},
      {"0123456789", -5, ""},
      {"x\xE2\x82\xACyz", 5, "\xE2\x82\xACyz"},  // x € y z
      {"x\xE2\x82\xACyz", 4, r + "yz"},
      {"x\xE2\x82\xACyz", 3, r + "yz"},
      {"\xF0\x9F\x8E\xB5!", 4, r + "!"},  // a 4-byte character, cut after its lead
      {invalid, 100, "a" + r + "b" + r + r + "c" + r + r + r + "e" + r + r + r + r + "d" + r},
  };
  for (const auto& c : cases) {
    writeFile(logFile(), c.file);
    EXPECT_EQ(log->tail(c.bytes), c.tail) << c.bytes;
  }
}

TEST_F(LogTest, UnwritableFolderLosesTheFileLineButStillMirrors) {
  writeFile(folder / "not-a-folder", "");
  auto stranded = makeLog(folder / "not-a-folder" / "choralink.log");
  stranded->error("disk trouble");
  stranded->flush();
  EXPECT_EQ(stranded->tail(1000), "");
  std::lock_guard lock(mirroredMutex);
  EXPECT_EQ(mirrored, (std::vector<test::LogLine>{{LogLevel::error, "disk trouble"}}));
}

TEST(SharedLogTest, TestProgramsWriteToTheTemporaryFolder) {
  EXPECT_EQ(Log::shared().file(), fs::temp_directory_path() / "choralink-tests.log");
}

}  // namespace
}  // namespace choralink
