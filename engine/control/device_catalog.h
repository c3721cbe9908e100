// The current, sorted list of usable output devices, and word to its owner
// when that list changes. The catalog listens to the system's device list and
// default output, collapses bursts of notifications into one re-read 0.3 s
// after the last of them, builds each device record from the platform's
// properties and hands a new list on only when something that matters
// changed (AudioDeviceInfo's equality).
//
// Lives on its owner's serial queue (the router's "app.choralink.engine"):
// construction aside, every member is called there, the listener callbacks
// and the scheduled refresh run there, and onChange is called there. The
// owner holds the only strong reference; listeners and the delayed refresh
// hold the catalog weakly and do nothing once it is gone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/devices/audio_device_info.h"
#include "engine/dispatch/executor.h"
#include "engine/hal/audio_system.h"
#include "engine/hal/property_listener.h"
#include "support/log.h"

namespace choralink {

class DeviceCatalog : public std::enable_shared_from_this<DeviceCatalog> {
 public:
  // Notifications closer together than this lead to one re-read.
  static constexpr double kRefreshDebounce = 0.3;

  using ChangeHandler = std::function<void(const std::vector<AudioDeviceInfo>&)>;

  // An idle catalog with an empty list. `isLaptop` decides the kind of
  // built-in devices (laptop_detection.h gives this computer's answer).
  static std::shared_ptr<DeviceCatalog> create(AudioSystem& system, Executor& queue, Log& log,
                                               bool isLaptop);
  ~DeviceCatalog();
  DeviceCatalog(const DeviceCatalog&) = delete;
  DeviceCatalog& operator=(const DeviceCatalog&) = delete;

  // Listens for changes of the device list ("dev#") and the default output
  // ("dOut") of the system object, then refreshes now.
  void start();
  // Removes the listeners that were registered and cancels a pending refresh.
  void stop();
  // Re-reads the devices; when the list differs from the last one, keeps
  // it, logs the "Devices: " line and calls onChange.
  void refreshNow();
  // A refresh 0.3 s from now, replacing one that is pending.
  void scheduleRefresh();

  // The last published list, sorted.
  const std::vector<AudioDeviceInfo>& devices() const { return devices_; }
  void setOnChange(ChangeHandler handler) { onChange_ = std::move(handler); }
  // The system listeners while started (for tests: a refused one is
  // inactive).
  const std::vector<PropertyListener>& listeners() const { return listeners_; }
  bool refreshPending() const { return pending_ && !pending_.isCancelled(); }

  // ---- The reading steps -----------------------------------------------------

  // Every listed device, sorted (DeviceFilter::sortDevices).
  static std::vector<AudioDeviceInfo> enumerate(AudioSystem& system, bool isLaptop);
  // The record of one device object, or none when it is not listed
  // (admission rules of AudioDeviceInfo). `defaultOutput` is the system's
  // default output device.
  static std::optional<AudioDeviceInfo> describe(AudioSystem& system, AudioObjectID id,
                                                 AudioObjectID defaultOutput, bool isLaptop);
  // Frames between handing audio to the device and hearing it: device
  // latency + safety offset + buffer size (output scope) + the latency of the
  // first output stream; each unreadable part counts 0.
  static std::uint32_t outputLatencyFrames(AudioSystem& system, AudioObjectID id);

  // The "Devices: " log line for a list.
  static std::string logLine(const std::vector<AudioDeviceInfo>& devices);

 private:
  DeviceCatalog(AudioSystem& system, Executor& queue, Log& log, bool isLaptop);

  AudioSystem& system_;
  Executor& queue_;
  Log& log_;
  const bool isLaptop_;
  std::vector<PropertyListener> listeners_;
  TaskHandle pending_;
  std::vector<AudioDeviceInfo> devices_;
  ChangeHandler onChange_;
};

}  // namespace choralink
