// Device lists sort by rank, then by name the way a file browser does, and
// keep the platform's order where both are equal.
#include "engine/devices/device_filter.h"

#include <gtest/gtest.h>

namespace choralink {
namespace {

AudioDeviceInfo device(std::string name, Transport transport, std::string uid = {}) {
  AudioDeviceInfo d;
  d.uid = uid.empty() ? name : uid;
  d.name = std::move(name);
  d.transport = transport;
  d.supportStatus = supportStatusFor(transport);
  return d;
}

std::vector<std::string> names(const std::vector<AudioDeviceInfo>& devices) {
  std::vector<std::string> out;
  for (const auto& d : devices)
    out.push_back(d.name);
  return out;
}

TEST(DeviceFilterTest, RanksBuiltInThenBluetoothThenOthersThenUnsupported) {
  std::vector<AudioDeviceInfo> list{
      device("Apple TV", Transport::airPlay), device("Alpha", Transport::usb),
      device("Beta", Transport::bluetooth), device("Zeta", Transport::builtIn)};
  DeviceFilter::sortDevices(list);
  EXPECT_EQ(names(list), (std::vector<std::string>{"Zeta", "Beta", "Alpha", "Apple TV"}));
  EXPECT_EQ(DeviceFilter::rank(device("x", Transport::bluetoothLE)), 1);
}

TEST(DeviceFilterTest, NamesCompareNumericallyAndIgnoringCase) {
  EXPECT_LT(DeviceFilter::compareNames("Speaker 2", "Speaker 10"), 0);
  EXPECT_LT(DeviceFilter::compareNames("alpha", "Beta"), 0);
  EXPECT_LT(DeviceFilter::compareNames("Alpha", "beta"), 0);
  EXPECT_EQ(DeviceFilter::compareNames("speaker", "SPEAKER"), 0);
  std::vector<AudioDeviceInfo> list{device("Display 10", Transport::hdmi),
                                    device("display 9", Transport::hdmi),
                                    device("Display 2", Transport::hdmi)};
  DeviceFilter::sortDevices(list);
  EXPECT_EQ(names(list), (std::vector<std::string>{"Display 2", "display 9", "Display 10"}));
}

TEST(DeviceFilterTest, EqualRankAndNameKeepThePlatformOrder) {
  std::vector<AudioDeviceInfo> list{
      device("TV", Transport::hdmi, "first"), device("Alpha", Transport::usb),
      device("tv", Transport::displayPort, "second"), device("TV", Transport::hdmi, "third")};
  DeviceFilter::sortDevices(list);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].name, "Alpha");
  EXPECT_EQ(list[1].uid, "first");
  EXPECT_EQ(list[2].uid, "second");
  EXPECT_EQ(list[3].uid, "third");
}

TEST(DeviceFilterTest, PredicateIsAStrictOrder) {
  const auto a = device("Same", Transport::usb);
  EXPECT_FALSE(DeviceFilter::sort(a, a));
  const auto b = device("Zed", Transport::builtIn);
  EXPECT_TRUE(DeviceFilter::sort(b, a));
  EXPECT_FALSE(DeviceFilter::sort(a, b));
}

}  // namespace
}  // namespace choralink
