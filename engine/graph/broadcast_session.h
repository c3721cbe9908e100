// One running broadcast: the system-audio tap, a private aggregate device that
// gathers the tap and every chosen output device under one clock, the channel
// map, the render state and the registration of cl_ioproc as the aggregate
// device's IO procedure.
//
// Construction is all-or-nothing: it returns a complete session (IO procedure
// registered, not started) or undoes every change it made, device sample rates
// included, and throws. The owner starts the IO itself
// (AudioSystem::startDevice(aggregateID(), *procID())), drives the render
// controls by the slot indexes, and must call teardown(): destroying the
// object does not release the platform objects (the IO thread may still be
// using the render state), it only frees the C++ side.
//
// Not thread-safe: the router uses a session from its serial queue, one call
// at a time. Construction blocks the caller for up to 2 s of the queue's clock
// while the devices join the aggregate.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/devices/audio_device_info.h"
#include "engine/dispatch/executor.h"
#include "engine/graph/system_audio_tap.h"
#include "engine/hal/audio_system.h"
#include "render/cl_render.h"
#include "support/log.h"

namespace choralink {

// One joined device and the render slot that drives it.
struct SlotInfo {
  std::string uid;
  int32_t index = 0;       // the slot number for the cl_render_* controls
  AudioDeviceInfo device;  // the record as it was requested
  friend bool operator==(const SlotInfo&, const SlotInfo&) = default;
};

// A requested device that did not join, and the reason shown to the user.
struct SkippedDevice {
  std::string uid;
  std::string why;
  friend bool operator==(const SkippedDevice&, const SkippedDevice&) = default;
};

// A device whose nominal rate a session changed, and the rate it had before.
struct RateChange {
  std::string uid;
  double rate = 0;
  // Whether the session added the device's journal entry. An entry left by an
  // earlier, unclean run holds the device's own rate and outlives this
  // session: restoring the rate this session found does not drop it.
  bool journalled = true;
  friend bool operator==(const RateChange&, const RateChange&) = default;
};

class BroadcastSession {
 public:
  // Every UID of an aggregate device this program creates starts with this
  // (leftovers of an earlier run are recognised by it alone).
  static constexpr std::string_view kAggregateUIDPrefix = kOwnAggregateUIDPrefix;
  static constexpr const char* kAggregateName = "Choralink";
  // How long and how often construction waits for the devices to join.
  static constexpr double kJoinTimeout = 2.0;
  static constexpr double kJoinPollInterval = 0.05;
  // The rate used when the tap reports none.
  static constexpr double kFallbackRate = 48000;

  // What a session works with. `queue` is the executor whose clock the join
  // wait follows (the router's queue; a VirtualExecutor in tests);
  // `rateJournal` is the journal file (Paths::rateRestoreFile() in the app).
  struct Environment {
    AudioSystem& system;
    Executor& queue;
    Log& log;
    std::filesystem::path rateJournal;
  };

  // Builds the broadcast over `devices` (the user's order). `muted`: the tap
  // mutes the captured processes' own output (synced mode). Throws HALError
  // or ChannelMap::MapError, having undone everything.
  BroadcastSession(Environment environment, const std::vector<AudioDeviceInfo>& devices,
                   bool muted);
  ~BroadcastSession();
  BroadcastSession(const BroadcastSession&) = delete;
  BroadcastSession& operator=(const BroadcastSession&) = delete;

  // Stops the IO, destroys the IO procedure registration, the aggregate
  // device and the tap, frees the render state and restores the rates this
  // session changed. Runs once; later calls do nothing. Never throws.
  void teardown() noexcept;

  // ---- Operations used at other times -------------------------------------

  // Destroys every aggregate device whose UID carries our prefix (leftovers
  // of an earlier run); others are left alone.
  static void destroyLeftoverAggregates(AudioSystem& system, Log& log) noexcept;

  // Sets each listed device back to its listed rate and drops the journal
  // entry the change added. Devices that are gone, or refuse the rate, keep
  // their entries so that the next launch tries again.
  static void restore(const std::vector<RateChange>& changes, AudioSystem& system, Log& log,
                      const std::filesystem::path& rateJournal) noexcept;

  // Tells the aggregate device that `proc` receives only the input streams of
  // `keep` (the tap's), of `inputStreams` in all: the devices' own inputs
  // (microphones and the like) stay off. A refusal is logged.
  static void disableInputsExcept(AudioSystem& system, Log& log, AudioObjectID aggregate,
                                  IOProcID proc, int inputStreams, cl_input_layout keep) noexcept;

  // ---- What the session is --------------------------------------------------

  // The broadcast's sample rate (the aggregate device's nominal rate).
  double rate() const { return rate_; }
  // The devices that joined, in slot order.
  const std::vector<SlotInfo>& slots() const { return slots_; }
  // Requested devices that did not join, in request order.
  const std::vector<SkippedDevice>& skipped() const { return skipped_; }
  // The render state; null once torn down.
  cl_render* render() const { return render_; }
  // The render's delay limit: one second of frames.
  int32_t maxDelayFrames() const { return maxDelayFrames_; }
  const SystemAudioTap& tap() const { return *tap_; }
  AudioObjectID aggregateID() const { return aggregateID_; }
  // The aggregate device's UID ("app.choralink.agg." + UUID).
  const std::string& aggregateUID() const { return aggregateUID_; }
  // The registration of cl_ioproc; none once torn down.
  std::optional<IOProcID> procID() const { return procID_; }
  // The rates this session changed, with the rates they had before.
  const std::vector<RateChange>& restoreRates() const { return restoreRates_; }
  bool isTornDown() const { return torn_; }

 private:
  void build(const std::vector<AudioDeviceInfo>& devices, bool muted);
  void alignRates(const std::vector<AudioDeviceInfo>& devices, double workingRate);
  void undoPartialBuild() noexcept;

  Environment env_;
  double rate_ = 0;
  std::vector<SlotInfo> slots_;
  std::vector<SkippedDevice> skipped_;
  cl_render* render_ = nullptr;
  int32_t maxDelayFrames_ = 0;
  std::unique_ptr<SystemAudioTap> tap_;
  AudioObjectID aggregateID_ = kUnknownObject;
  std::string aggregateUID_;
  std::optional<IOProcID> procID_;
  std::vector<RateChange> restoreRates_;
  bool torn_ = false;
};

}  // namespace choralink
