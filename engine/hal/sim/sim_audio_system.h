// The simulated audio system: a complete in-process device graph behind the
// AudioSystem seam. It is the backend of every engine test and of demos on
// machines without a sound server, so it behaves like the platform rather
// than like a test double:
//
//  - the system object lists devices ("dev#"), the default output ("dOut")
//    and process objects ("id2p"); devices carry every property the engine
//    reads (DeviceSpec), can be plugged, unplugged, changed, made dead or
//    hidden, and every change notifies the listeners registered for it, on
//    the queue given at registration;
//  - process taps deliver the system mix (a SignalSource) and honour their
//    mute behaviour: while a muting tap exists the default output no longer
//    plays the system mix directly;
//  - aggregate devices are built from their description dictionary; each
//    sub-device joins after its join delay (or never), the aggregate lists
//    joined sub-devices in "agrp", their output streams in sub-device order,
//    and its input streams as the sub-devices' inputs followed by the taps';
//  - IO procedures run once per cycle of the device (for an aggregate: the
//    clock device's buffer size at the aggregate's rate, paced by the clock
//    device's clock error), driven explicitly by a test (stepIO), by the
//    clock executor's time, or by a real-time thread;
//  - what every device plays is recorded as heard: delayed by the device's
//    own output latency, on the IO timeline, with sub-devices that are not
//    drift-compensated sliding at their clock error relative to the clock
//    device, and compensated ones resampled to stay in place;
//  - faults: any operation or property access can fail with a chosen
//    status; an IO procedure can stall, overload can be signalled, and
//    capture can be blocked (IO of aggregates with a tap never runs);
//  - it counts live taps, aggregates, IO procedures and listeners.
//
// Time: joins and notifications follow the clock executor given at
// construction (a VirtualExecutor in tests), which must outlive the system.
// IO follows its own timeline, ioTime(), which starts at 0 and moves with the
// chosen IODriver; recordings are laid out on it.
//
// Simplifications, on purpose: a sub-device at another nominal rate than the
// aggregate is converted at the nominal ratio (by linear interpolation) also
// when the aggregate does not drift-compensate it; an uncompensated device
// slides smoothly instead of glitching when its buffer runs over or under;
// the default output's direct playback ignores its clock error; a "muted"
// tap mutes while it exists, a "mutedWhenTapped" one while an aggregate that
// uses it runs.
//
// Threads: every method may be called from any thread. Listener deliveries
// are posted to their queues, never called inline. IO procedures run without
// the simulator's state lock held, so they may call back into it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dispatch/executor.h"
#include "engine/hal/audio_system.h"
#include "engine/hal/sim/device_spec.h"
#include "engine/hal/sim/fault_plan.h"
#include "engine/hal/sim/recording.h"
#include "engine/hal/sim/room.h"
#include "engine/hal/sim/signal_source.h"

namespace choralink::sim {

// What moves the IO timeline.
enum class IODriver {
  manual,    // stepIO / stepCycles only (the default)
  clock,     // tasks on the clock executor: advancing a VirtualExecutor runs IO too
  realtime,  // a thread of the simulator's own, in real time
};

// Live platform objects, for leak checks.
struct ObjectCounts {
  std::size_t taps = 0;
  std::size_t aggregates = 0;
  std::size_t ioProcs = 0;
  std::size_t listeners = 0;

  friend bool operator==(const ObjectCounts&, const ObjectCounts&) = default;
};

// The format of every process tap ("tfmt") and the shape of its streams in
// an aggregate device.
struct TapFormat {
  double rate = 48000;  // 0 reports an unknown rate; capture then follows the aggregate
  std::uint32_t channels = 2;
  // true: one mono input stream per channel instead of one interleaved stream.
  bool splitStreams = false;
};

struct SimOptions {
  // Seconds a sub-device takes to join an aggregate unless its DeviceSpec says.
  double defaultJoinDelay = 0.1;
  // How much of each device's most recent playback is kept.
  double recordingWindowSeconds = 60;
  // Whether the default output plays the system mix directly (unless muted).
  bool directPlayback = true;
  // The process that owns this "system": "id2p" knows it. 0: the real pid.
  std::int32_t ownPid = 0;
  TapFormat tapFormat;
};

class SimAudioSystem final : public AudioSystem {
 public:
  explicit SimAudioSystem(Executor& clock, SimOptions options = {});
  ~SimAudioSystem() override;
  SimAudioSystem(const SimAudioSystem&) = delete;
  SimAudioSystem& operator=(const SimAudioSystem&) = delete;

  Executor& clock() const;

  // ---- The machine --------------------------------------------------------

  // Plugs a device in (a new object id each time). The first device with
  // output channels becomes the default output when there is none. Throws
  // std::invalid_argument for an empty UID or one already plugged in.
  AudioObjectID addDevice(DeviceSpec spec);
  // Unplugs: "livn" goes to 0, then the device leaves "dev#" and every
  // aggregate; a default output that goes is replaced (built-in first).
  bool removeDevice(std::string_view uid);
  // Edits a plugged device's spec in place; each changed property notifies.
  // The UID cannot change.
  bool modifyDevice(std::string_view uid, const std::function<void(DeviceSpec&)>& change);
  bool setDefaultOutput(std::string_view uid);
  bool setAlive(std::string_view uid, bool alive);
  bool setHidden(std::string_view uid, bool hidden);
  // As if another program changed the rate (the ranges are not checked).
  bool setNominalRate(std::string_view uid, double rate);

  std::optional<AudioObjectID> deviceID(std::string_view uid) const;
  std::optional<DeviceSpec> device(std::string_view uid) const;
  // Plugged physical devices, in "dev#" order.
  std::vector<std::string> deviceUIDs() const;
  std::optional<std::string> defaultOutputUID() const;

  // Process objects for "id2p". The own process has one from the start.
  AudioObjectID addProcess(std::int32_t pid);
  bool removeProcess(std::int32_t pid);
  std::int32_t ownPid() const;

  // ---- System audio and taps ----------------------------------------------

  void setSystemMix(SignalSource source);
  // A program's alert sound: the alert chime starts in the system mix now.
  void playChime();
  void setTapFormat(const TapFormat& format);
  std::vector<AudioObjectID> tapIDs() const;
  std::optional<TapDescription> tapDescription(AudioObjectID tap) const;
  // Whether a tap currently keeps the system mix off the default output.
  bool systemOutputMuted() const;

  // ---- The room (room.h) ---------------------------------------------------

  // What the microphone device hears from now on; replaces an earlier room.
  void setRoom(Room room);
  void clearRoom();

  // ---- Aggregates -----------------------------------------------------------

  std::vector<AudioObjectID> aggregateIDs() const;
  std::optional<AggregateDescription> aggregateDescription(AudioObjectID aggregate) const;
  // UIDs of the sub-devices that have joined by now, in sub-device order.
  std::vector<std::string> joinedSubDevices(AudioObjectID aggregate) const;

  // ---- Faults -------------------------------------------------------------

  void failOperation(Operation operation, HALStatus status, int times = kAlways);
  void failProperty(const PropertyFault& fault);
  void clearFaults();
  // Blocked capture: aggregates with a tap start without error, but their IO
  // never runs and "goin" reads 0.
  void setCaptureBlocked(bool blocked);
  // The sound server going away (false) or coming back: "srvl" reads it and
  // its listeners hear the change. Devices stay as they are.
  void setServiceAlive(bool alive);
  // A stalled device keeps its clock but calls no IO procedure.
  bool setStalled(AudioObjectID device, bool stalled);
  // Posts the "over" notification of a device.
  bool raiseOverload(AudioObjectID device);

  // ---- IO ---------------------------------------------------------------------

  void setIODriver(IODriver driver);
  IODriver ioDriver() const;
  // Seconds on the IO timeline.
  double ioTime() const;
  // Runs every cycle that starts within the next `seconds` of the IO
  // timeline, in time order across devices. Manual driver only
  // (std::logic_error otherwise).
  void stepIO(double seconds);
  // Runs IO until `device` has had `cycles` more cycles; false when it is
  // not running. Manual driver only.
  bool stepCycles(AudioObjectID device, std::uint64_t cycles);
  bool isRunning(AudioObjectID device) const;
  // Cycles in which the device's IO procedures were called.
  std::uint64_t procCycles(AudioObjectID device) const;

  // ---- Observation --------------------------------------------------------

  // What the device has played within the recording window, optionally cut
  // to [fromSeconds, toSeconds) of the IO timeline. Kept after unplugging.
  std::optional<Recording> recording(std::string_view uid, double fromSeconds = -1e300,
                                     double toSeconds = 1e300) const;
  void clearRecordings();
  ObjectCounts liveObjects() const;

  // ---- AudioSystem --------------------------------------------------------

  HALStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                std::uint32_t qualifierSize, const void* qualifier,
                                std::uint32_t& outSize) override;
  HALStatus getPropertyData(AudioObjectID object, const PropertyAddress& address,
                            std::uint32_t qualifierSize, const void* qualifier,
                            std::uint32_t& ioSize, void* outData) override;
  HALStatus setPropertyData(AudioObjectID object, const PropertyAddress& address,
                            std::uint32_t size, const void* data) override;
  HALStatus addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                Executor& queue, PropertyListenerBlock block) override;
  HALStatus removePropertyListener(AudioObjectID object, const PropertyAddress& address,
                                   Executor& queue, const PropertyListenerBlock& block) override;
  HALStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override;
  HALStatus destroyProcessTap(AudioObjectID tap) override;
  HALStatus createAggregateDevice(const AggregateDescription& description,
                                  AudioObjectID& outDevice) override;
  HALStatus destroyAggregateDevice(AudioObjectID device) override;
  HALStatus createIOProcID(AudioObjectID device, IOProc proc, void* clientData,
                           IOProcID& outID) override;
  HALStatus destroyIOProcID(AudioObjectID device, IOProcID id) override;
  HALStatus startDevice(AudioObjectID device, IOProcID id) override;
  HALStatus stopDevice(AudioObjectID device, IOProcID id) override;

  class Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace choralink::sim
