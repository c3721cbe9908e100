#include "engine/graph/channel_map.h"

#include <algorithm>

#include <fmt/format.h>

namespace choralink::ChannelMap {

namespace {

std::string bracketed(const std::vector<int>& counts) {
  return fmt::format("[{}]", fmt::join(counts, ", "));
}

bool isWiredDigital(Transport transport) {
  switch (transport) {
    case Transport::usb:
    case Transport::hdmi:
    case Transport::displayPort:
    case Transport::thunderbolt:
    case Transport::pci:
      return true;
    default:
      return false;
  }
}

}  // namespace

MapError::MapError(std::vector<int> expected, std::vector<int> actual)
    : std::runtime_error("Aggregate output streams " + bracketed(actual) +
                         " do not match its devices' streams " + bracketed(expected)),
      expected_(std::move(expected)),
      actual_(std::move(actual)) {}

MapError MapError::streamMismatch(std::vector<int> expected, std::vector<int> actual) {
  return MapError(std::move(expected), std::move(actual));
}

std::optional<std::string> chooseClock(
    const std::vector<std::pair<std::string, Transport>>& devices) {
  if (devices.empty()) return std::nullopt;
  const auto first = [&](auto matches) -> const std::string* {
    for (const auto& [uid, transport] : devices) {
      if (matches(transport)) return &uid;
    }
    return nullptr;
  };
  if (auto uid = first([](Transport t) { return t == Transport::builtIn; })) return *uid;
  if (auto uid = first(isWiredDigital)) return *uid;
  if (auto uid = first([](Transport t) { return !isBluetooth(t); })) return *uid;
  return devices.front().first;
}

std::vector<Slot> build(const std::vector<SubDevice>& subDevices,
                        const std::vector<int>& aggregateStreams) {
  std::vector<int> expected;
  for (const SubDevice& device : subDevices) {
    expected.insert(expected.end(), device.outputStreams.begin(), device.outputStreams.end());
  }
  if (expected != aggregateStreams) {
    throw MapError::streamMismatch(std::move(expected), aggregateStreams);
  }

  std::vector<Slot> slots;
  slots.reserve(subDevices.size());
  int32_t buffer = 0;  // runs on across devices: the aggregate lists them side by side
  for (const SubDevice& device : subDevices) {
    Slot slot;
    slot.uid = device.uid;
    cl_slot_layout& layout = slot.layout;
    int32_t count = 0;  // references kept; the render addresses at most 32
    for (int channels : device.outputStreams) {
      for (int c = 0; c < channels && count < CL_MAX_SLOT_CHANNELS; ++c) {
        layout.channels[count++] = cl_channel_ref{buffer, c, channels};
      }
      ++buffer;  // an empty stream still occupies its buffer
    }
    layout.channel_count = count;
    if (layout.channel_count >= 2) {
      const int l = device.stereoPair.left - 1;
      const int r = device.stereoPair.right - 1;
      const int n = layout.channel_count;
      const bool usable = l >= 0 && l < n && r >= 0 && r < n && l != r;
      layout.left = usable ? l : 0;
      layout.right = usable ? r : 1;
    }
    slots.push_back(slot);
  }
  return slots;
}

cl_input_layout tapInput(const std::vector<int>& subDeviceInputStreams,
                         const std::vector<int>& aggregateInputStreams, int tapChannels) {
  const auto s = static_cast<int32_t>(subDeviceInputStreams.size());
  const auto a = static_cast<int32_t>(aggregateInputStreams.size());
  if (a > s) {
    const bool splitStereo = aggregateInputStreams[s] < 2 && tapChannels >= 2 && a - s >= 2;
    return cl_input_layout{s, splitStereo ? 2 : 1};
  }
  if (a == 0) return cl_input_layout{-1, 0};
  if (a >= 2 && aggregateInputStreams[a - 1] == 1 && tapChannels >= 2) {
    return cl_input_layout{a - 2, 2};
  }
  return cl_input_layout{a - 1, 1};
}

}  // namespace choralink::ChannelMap
