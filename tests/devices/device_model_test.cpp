// The device model's rules: transport codes and labels, kind guessing,
// admission, standard rates, the stereo pair and latency in ms. Which changes
// of a record count as changes is pinned where the catalog republishes.
#include <gtest/gtest.h>

#include "engine/devices/audio_device_info.h"
#include "engine/devices/device_kind.h"
#include "engine/devices/transport.h"
#include "engine/hal/hal_codes.h"

namespace choralink {
namespace {

TEST(TransportTest, MapsEveryPlatformCodeAndFallsBackToUnknown) {
  EXPECT_EQ(transportFromCode(kTransportBuiltIn), Transport::builtIn);
  EXPECT_EQ(transportFromCode(fourCharCode("blue")), Transport::bluetooth);
  EXPECT_EQ(transportFromCode(fourCharCode("blea")), Transport::bluetoothLE);
  EXPECT_EQ(transportFromCode(fourCharCode("hdmi")), Transport::hdmi);
  EXPECT_EQ(transportFromCode(fourCharCode("dprt")), Transport::displayPort);
  EXPECT_EQ(transportFromCode(fourCharCode("usb ")), Transport::usb);
  EXPECT_EQ(transportFromCode(fourCharCode("airp")), Transport::airPlay);
  EXPECT_EQ(transportFromCode(fourCharCode("grup")), Transport::aggregate);
  EXPECT_EQ(transportFromCode(fourCharCode("fgrp")), Transport::aggregate);
  EXPECT_EQ(transportFromCode(fourCharCode("virt")), Transport::virtual_);
  EXPECT_EQ(transportFromCode(fourCharCode("thun")), Transport::thunderbolt);
  EXPECT_EQ(transportFromCode(fourCharCode("pci ")), Transport::pci);
  EXPECT_EQ(transportFromCode(fourCharCode("1394")), Transport::firewire);
  EXPECT_EQ(transportFromCode(fourCharCode("eavb")), Transport::avb);
  EXPECT_EQ(transportFromCode(0), Transport::unknown);
  EXPECT_EQ(transportFromCode(fourCharCode("usb2")), Transport::unknown);
}

// USB and built-in outputs are headphones by name; Bluetooth names pick the
// most specific kind; the other transports have one kind each. Lower-casing
// is Unicode-aware, so upper-case letters outside ASCII keep the rules.
TEST(DeviceKindTest, GuessedFromTransportNameAndComputer) {
  using T = Transport;
  using K = DeviceKind;
  const struct {
    Transport transport;
    const char* name;
    bool isLaptop;
    DeviceKind kind;
  } cases[] = {
      {T::usb, "Logi HEADSET H390", false, K::headphones},
      {T::usb, "Studio headphone amp", false, K::headphones},
      {T::usb, "Scarlett 2i2", false, K::usb},
      {T::bluetooth, "Anna's AirPods Pro", false, K::airpodsPro},
      {T::bluetooth, "ÉCOUTEURS AIRPODS PRO", false, K::airpodsPro},
      {T::bluetooth, "AirPods Max", false, K::airpodsMax},
      {T::bluetooth, "AirPods  Max", false, K::airpods},  // two spaces
      {T::bluetoothLE, "AirPods", false, K::airpods},
      {T::bluetooth, "WH-1000XM4", false, K::headphones},
      {T::bluetooth, "Galaxy Buds2", false, K::headphones},
      {T::bluetooth, "Beats Solo", false, K::headphones},
      {T::bluetooth, "Boom 3", false, K::speaker},
      {T::builtIn, "External Headphones", true, K::headphones},
      {T::builtIn, "Speakers", true, K::laptop},
      {T::builtIn, "MacBook Pro Speakers", false, K::laptop},
      {T::builtIn, "Mac mini Speakers", false, K::desktop},
      {T::thunderbolt, "Dock", false, K::display},
      {T::displayPort, "Monitor", false, K::display},
      {T::hdmi, "headphone jack", false, K::tv},
      {T::airPlay, "Kitchen", false, K::airPlay},
  };
  for (const auto& c : cases)
    EXPECT_EQ(guessDeviceKind(c.transport, c.name, c.isLaptop), c.kind) << c.name;
  for (Transport t : {T::aggregate, T::virtual_, T::pci, T::firewire, T::avb, T::unknown})
    EXPECT_EQ(guessDeviceKind(t, "AirPods headphones", true), K::other);
  for (DeviceKind k : kAllDeviceKinds)
    EXPECT_EQ(deviceKindFromRaw(rawValue(k)), k);
}

TEST(AdmissionTest, ListsOnlyUsableOutputDevices) {
  EXPECT_TRUE(isAdmitted("uid", 2, false, true, Transport::usb));
  EXPECT_TRUE(isAdmitted("uid", 2, false, true, Transport::airPlay));
  EXPECT_FALSE(isAdmitted("", 2, false, true, Transport::usb));
  EXPECT_FALSE(isAdmitted("uid", 0, false, true, Transport::usb));
  EXPECT_FALSE(isAdmitted("uid", 2, true, true, Transport::usb));
  EXPECT_FALSE(isAdmitted("uid", 2, false, false, Transport::usb));
  EXPECT_FALSE(isAdmitted("app.choralink.agg.1234", 2, false, true, Transport::usb));
  EXPECT_TRUE(isAdmitted("app.choralink.ag", 2, false, true, Transport::usb));
  EXPECT_FALSE(isAdmitted("uid", 2, false, true, Transport::aggregate));
  EXPECT_FALSE(isAdmitted("uid", 2, false, true, Transport::virtual_));
}

TEST(AvailableRatesTest, IntersectsRangesWithTheStandardRates) {
  EXPECT_EQ(standardRatesIn({{44100, 48000}, {96000, 96000}}),
            (std::vector<double>{44100, 48000, 96000}));
  EXPECT_EQ(standardRatesIn({{96000, 96000}, {44100, 48000}, {48000, 48000}}),
            (std::vector<double>{44100, 48000, 96000}));
  EXPECT_EQ(standardRatesIn({{8000, 32000}}), std::vector<double>{});
  EXPECT_EQ(standardRatesIn({{44100, 192000}}),
            (std::vector<double>{44100, 48000, 88200, 96000, 176400, 192000}));
  EXPECT_EQ(standardRatesIn({}), std::vector<double>{});
}

TEST(StereoPairTest, UsesThePreferredPairOnlyWhenItFits) {
  EXPECT_EQ(stereoPairFor({3, 4}, 8), (StereoPair{3, 4}));
  EXPECT_EQ(stereoPairFor({3, 4}, 2), (StereoPair{1, 2}));
  EXPECT_EQ(stereoPairFor({0, 2}, 2), (StereoPair{1, 2}));
  EXPECT_EQ(stereoPairFor({1, 2, 3}, 8), (StereoPair{1, 2}));
  EXPECT_EQ(stereoPairFor({}, 1), (StereoPair{1, 1}));
  EXPECT_EQ(stereoPairFor({2, 1}, 2), (StereoPair{2, 1}));
}

TEST(AudioDeviceInfoTest, LatencyInMilliseconds) {
  AudioDeviceInfo d;
  d.nominalRate = 48000;
  d.latencyFrames = 480;
  EXPECT_DOUBLE_EQ(d.latencyMs(), 10.0);
  d.nominalRate = 0;
  EXPECT_EQ(d.latencyMs(), 0.0);
}

}  // namespace
}  // namespace choralink
