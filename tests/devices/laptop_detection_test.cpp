// Laptop detection from the firmware's chassis type: the documented mapping,
// and every way the file can be missing or odd counting as "not a laptop".
#include "engine/devices/laptop_detection.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/common/temp_folder.h"

namespace choralink {
namespace {

TEST(LaptopDetectionTest, OnlyPortableChassisTypesAreLaptops) {
  for (int type : {8, 9, 10, 14, 31, 32})
    EXPECT_TRUE(isLaptopChassisType(type)) << type;
  for (int type : {0, 1, 2, 3, 4, 5, 6, 7, 11, 12, 13, 15, 16, 17, 23, 24, 30, 33, 35, 36, 255}) {
    EXPECT_FALSE(isLaptopChassisType(type)) << type;
  }
}

class ChassisFileTest : public ::testing::Test {
 protected:
  std::filesystem::path write(const std::string& text) {
    const auto path = folder / "chassis_type";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  test::TempFolder folder;
};

TEST_F(ChassisFileTest, ReadsTheNumberAsSysfsWritesIt) {
  EXPECT_EQ(readChassisType(write("10\n")), 10);
  EXPECT_TRUE(isLaptopChassis(write("10\n")));
  EXPECT_TRUE(isLaptopChassis(write(" 9 ")));
  EXPECT_FALSE(isLaptopChassis(write("3\n")));
}

TEST_F(ChassisFileTest, AnythingButANumberOrNoFileAtAllIsNotALaptop) {
  for (const char* text : {"", "\n", "laptop", "9a", "-9", "0x9", "10 10", "00000009"}) {
    EXPECT_FALSE(isLaptopChassis(write(text))) << '"' << text << '"';
  }
  EXPECT_FALSE(isLaptopChassis(write(std::string(1000, '9'))));
  EXPECT_FALSE(readChassisType(folder / "missing"));
  EXPECT_FALSE(isLaptopChassis(folder / "missing"));
  EXPECT_FALSE(isLaptopChassis(folder.path()));  // a folder, not a file
}

}  // namespace
}  // namespace choralink
