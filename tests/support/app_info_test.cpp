#include "support/app_info.h"

#include <regex>
#include <string>

#include <gtest/gtest.h>

namespace choralink {
namespace {

TEST(AppInfoTest, VersionsHaveThreeNumbers) {
  const std::regex threeNumbers(R"(\d+\.\d+\.\d+)");
  EXPECT_TRUE(std::regex_match(std::string(AppInfo::version()), threeNumbers))
      << AppInfo::version();
  EXPECT_TRUE(std::regex_match(AppInfo::osVersion(), threeNumbers)) << AppInfo::osVersion();
}

TEST(AppInfoTest, BuildWithoutUsableVersionReportsOneZeroZero) {
  EXPECT_EQ(AppInfo::versionOrFallback(""), "1.0.0");
  EXPECT_EQ(AppInfo::versionOrFallback("  "), "1.0.0");
  EXPECT_EQ(AppInfo::versionOrFallback("2.4.1"), "2.4.1");
}

TEST(AppInfoTest, ReleaseStringsBecomeThreeNumbers) {
  EXPECT_EQ(AppInfo::threePartVersion("6.1.0-18-amd64"), "6.1.0");
  EXPECT_EQ(AppInfo::threePartVersion("6.8.12+rpt-rpi-v8"), "6.8.12");
  EXPECT_EQ(AppInfo::threePartVersion("5.15"), "5.15.0");
  EXPECT_EQ(AppInfo::threePartVersion("6"), "6.0.0");
  EXPECT_EQ(AppInfo::threePartVersion("4.19.0.1"), "4.19.0");
  EXPECT_EQ(AppInfo::threePartVersion("007.010.0"), "7.10.0");
  EXPECT_EQ(AppInfo::threePartVersion("6.5-rc1"), "6.5.0");
  EXPECT_EQ(AppInfo::threePartVersion(""), "0.0.0");
  EXPECT_EQ(AppInfo::threePartVersion("linux"), "0.0.0");
}

}  // namespace
}  // namespace choralink
