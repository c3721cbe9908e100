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
  for (auto [given, reported] : {std::pair{"", "1.0.0"}, {"  ", "1.0.0"}, {"2.4.1", "2.4.1"}})
    EXPECT_EQ(AppInfo::versionOrFallback(given), reported) << given;
}

TEST(AppInfoTest, ReleaseStringsBecomeThreeNumbers) {
  const std::pair<const char*, const char*> cases[] = {
      {"6.1.0-18-amd64", "6.1.0"}, {"6.8.12+rpt-rpi-v8", "6.8.12"},
      {"5.15", "5.15.0"},          {"6", "6.0.0"},
      {"4.19.0.1", "4.19.0"},      {"007.010.0", "7.10.0"},
      {"6.5-rc1", "6.5.0"},        {"", "0.0.0"},
      {"linux", "0.0.0"}};
  for (const auto& [release, version] : cases)
    EXPECT_EQ(AppInfo::threePartVersion(release), version) << release;
}

}  // namespace
}  // namespace choralink
