// The tools' strict reading of option values: a whole number in range or an
// error that names the value and the range, never a silent 0 or a clamped
// number; NAME=VALUE split at the first '='.
#include "tools/common/tool_args.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace choralink::tools {
namespace {

std::string errorOf(std::string_view text) {
  try {
    wholeNumber(text, 0, 500, "the delay of usb");
  } catch (const UsageError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(ToolArgsTest, WholeNumbersInRangeAreTakenAsWritten) {
  EXPECT_EQ(wholeNumber("0", 0, 500, "x"), 0);
  EXPECT_EQ(wholeNumber("500", 0, 500, "x"), 500);
  EXPECT_EQ(wholeNumber("-5", -10, 10, "x"), -5);
}

TEST(ToolArgsTest, AnythingElseSaysWhatWasWrong) {
  const struct {
    const char* text;
    const char* says;
  } cases[] = {
      {"abc", "the delay of usb is \"abc\"; it must be a whole number from 0 to 500"},
      {"", "the delay of usb is \"\"; it must be a whole number from 0 to 500"},
      {"12ms", "is \"12ms\"; it must be a whole number"},
      {"1.5", "is \"1.5\"; it must be a whole number"},
      {" 7", "is \" 7\"; it must be a whole number"},
      {"+7", "is \"+7\"; it must be a whole number"},
      {"-30", "the delay of usb is -30; it must be from 0 to 500"},
      {"501", "is 501; it must be from 0 to 500"},
      {"99999999999999999999", "is 99999999999999999999; it must be from 0 to 500"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_NE(errorOf(c.text).find(c.says), std::string::npos) << errorOf(c.text);
  }
}

TEST(ToolArgsTest, KeyValueSplitsAtTheFirstEqualsAndNeedsAKey) {
  EXPECT_EQ(keyValue("usb=20", "--delay"), (std::pair<std::string, std::string>{"usb", "20"}));
  EXPECT_EQ(keyValue("a=b=c", "--delay"), (std::pair<std::string, std::string>{"a", "b=c"}));
  EXPECT_EQ(keyValue("usb=", "--delay").second, "");
  for (const char* bad : {"usb", "=20", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(keyValue(bad, "--delay"), UsageError);
  }
}

TEST(ToolArgsTest, ScratchFolderGoesWithItsContent) {
  std::filesystem::path kept;
  {
    ScratchFolder scratch("choralink-test");
    kept = scratch.path();
    std::ofstream(kept / "engine.log") << "line";
    ASSERT_TRUE(std::filesystem::exists(kept / "engine.log"));
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
}

}  // namespace
}  // namespace choralink::tools
