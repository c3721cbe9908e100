// Where things lie in the aggregate device's buffers: which device drives the
// common clock, where each joined device's channels are in the output buffer
// list (and which of them carry left and right), and where the captured system
// mix is in the input buffer list. Pure functions over plain numbers that the
// broadcast session reads from the platform; no platform object is touched.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/devices/audio_device_info.h"
#include "engine/devices/transport.h"
#include "render/cl_render.h"

namespace choralink::ChannelMap {

// One joined device as the aggregate sees it.
struct SubDevice {
  std::string uid;
  std::vector<int> outputStreams;  // channels of each output stream, in the device's order
  StereoPair stereoPair;           // 1-based, as the device record has it
  friend bool operator==(const SubDevice&, const SubDevice&) = default;
};

// One render slot: the device and where its channels are.
struct Slot {
  std::string uid;
  cl_slot_layout layout{};
};

// The aggregate's output streams are not its sub-devices' streams side by
// side; the channel references would address the wrong device.
class MapError : public std::runtime_error {
 public:
  static MapError streamMismatch(std::vector<int> expected, std::vector<int> actual);

  // The concatenated output streams of the sub-devices.
  const std::vector<int>& expected() const { return expected_; }
  // The aggregate device's output streams.
  const std::vector<int>& actual() const { return actual_; }

  friend bool operator==(const MapError& a, const MapError& b) {
    return a.expected_ == b.expected_ && a.actual_ == b.actual_;
  }

 private:
  MapError(std::vector<int> expected, std::vector<int> actual);
  std::vector<int> expected_;
  std::vector<int> actual_;
};

// The device whose clock the aggregate follows: built-in first, then wired
// digital links (USB, HDMI, DisplayPort, Thunderbolt, PCI), then anything but
// Bluetooth, else the first device. None only for an empty list.
std::optional<std::string> chooseClock(
    const std::vector<std::pair<std::string, Transport>>& devices);

// One slot per sub-device, in order; at most 32 channels per slot. Throws
// MapError when `aggregateStreams` is not the sub-devices' streams in order.
std::vector<Slot> build(const std::vector<SubDevice>& subDevices,
                        const std::vector<int>& aggregateStreams);

// Where the tap's stream(s) follow the sub-devices' input streams: one
// interleaved buffer, two mono buffers (left, right), or {-1, 0} when the
// aggregate has no input stream at all.
cl_input_layout tapInput(const std::vector<int>& subDeviceInputStreams,
                         const std::vector<int>& aggregateInputStreams, int tapChannels);

}  // namespace choralink::ChannelMap
