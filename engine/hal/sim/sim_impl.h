// Internal state of the simulated audio system; only its own sources include
// this. Two locks: `mutex` guards every field below; `ioMutex` is held by
// whoever drives IO (a test stepping, a clock task, the real-time thread) for
// a whole pass, and by every operation that ends IO (stop, destroying a proc,
// an aggregate or a device), so that once such an operation returns no cycle
// of what it ended is still running. Lock order: ioMutex, then mutex. IO
// procedures are called with ioMutex held and mutex released.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/hal/sim/sim_audio_system.h"

namespace choralink::sim {

// One registered listener block.
struct ListenerRegistration {
  AudioObjectID object = kUnknownObject;
  PropertyAddress address;
  Executor* queue = nullptr;
  PropertyListenerBlock block;
  // Cleared on removal; a delivery already queued checks it before calling.
  std::shared_ptr<std::atomic<bool>> live;
};

struct StreamObject {
  AudioObjectID owner = kUnknownObject;
  bool output = true;
  std::uint32_t index = 0;
};

struct PhysicalDevice {
  AudioObjectID id = kUnknownObject;
  DeviceSpec spec;
  std::vector<AudioObjectID> outputStreamIDs;
  std::vector<AudioObjectID> inputStreamIDs;
};

struct Tap {
  AudioObjectID id = kUnknownObject;
  TapDescription description;
  std::vector<AudioObjectID> streamIDs;
};

struct AggregateSub {
  std::string uid;
  bool drift = false;
  // Clock time at which the device joins (again); none while it is absent.
  std::optional<double> joinAt;
};

struct AggregateTap {
  std::string uid;
  bool drift = false;
};

struct Aggregate {
  AudioObjectID id = kUnknownObject;
  AggregateDescription description;
  std::string uid;
  std::string name;
  std::string master;
  bool tapAutoStart = false;
  std::vector<AggregateSub> subs;
  std::vector<AggregateTap> taps;
  double rate = 48000;
  std::map<IOProcID, std::vector<std::uint32_t>> streamUsage;
};

struct IOProcEntry {
  IOProcID id = kNoIOProc;
  AudioObjectID device = kUnknownObject;
  IOProc proc = nullptr;
  void* clientData = nullptr;
  bool started = false;
};

// Where one device's share of a cycle's output goes and how it is paced.
struct Destination {
  std::string uid;
  std::uint32_t firstStream = 0;  // index into the cycle's output streams
  std::uint32_t streamCount = 0;
  std::uint32_t channels = 0;
  double paceErrorPpm = 0;  // the clock whose pace the device plays at
};

// Where one tap's capture goes in a cycle's input streams.
struct TapFeed {
  std::uint32_t firstStream = 0;
  std::uint32_t channels = 2;
  bool split = false;
  bool mono = false;
};

// A device's IO shape at one moment.
struct IOLayout {
  std::vector<std::uint32_t> outputStreams;
  std::vector<std::uint32_t> inputStreams;
  std::vector<Destination> destinations;
  std::vector<TapFeed> taps;
  std::uint32_t frames = 512;
  double rate = 48000;
  double clockErrorPpm = 0;
  bool hasTapEntries = false;
};

// Playback position of one destination within one running device: stream
// frame n sounds at recording frame anchorPos + (n - anchorFrame) * step.
struct PlayState {
  double anchorPos = 0;
  std::uint64_t anchorFrame = 0;
  double step = 1;
  std::uint64_t frames = 0;
  std::vector<float> last;  // previous frame, for interpolation across cycles
  bool hasLast = false;
  std::vector<float> scratch;
};

// IO state of one device whose cycles run.
struct DeviceRun {
  AudioObjectID device = kUnknownObject;
  bool startedAlone = false;
  bool doomed = false;  // ended from inside a pass; freed by the pass
  double anchorTime = 0;
  std::uint64_t anchorCycle = 0;
  double period = 0;
  double nextTime = 0;
  std::uint64_t cycles = 0;
  std::uint64_t procCycles = 0;
  std::uint64_t sampleTime = 0;
  // Buffers of the cycle being run.
  std::vector<float> input;
  std::vector<std::uint32_t> inputOffsets;  // per input stream, in samples
  std::vector<std::uint32_t> outputOffsets;
  struct ProcBuffers {
    IOProcID id = kNoIOProc;
    IOProc proc = nullptr;
    void* clientData = nullptr;
    std::vector<std::uint64_t> inList;   // cl_audio_buffer_list storage
    std::vector<std::uint64_t> outList;  // cl_audio_buffer_list storage
    std::vector<float> output;
  };
  std::vector<ProcBuffers> procs;
  std::vector<float> mix;
  std::vector<float> scratch;
  double cycleStart = 0;
  std::map<std::string, PlayState> play;
  IOLayout layout;
  AudioTimeStamp stamp;
};

// The value of one property, as bytes and how they may be cut.
struct PropertyValue {
  enum class Kind { fixed, array, string } kind = Kind::fixed;
  std::vector<std::byte> bytes;
  std::size_t element = 1;
  std::optional<std::string> text;  // Kind::string; none: a null reference
};

class SimAudioSystem::Impl : public std::enable_shared_from_this<SimAudioSystem::Impl> {
 public:
  Impl(Executor& clock, SimOptions options);
  ~Impl();

  // Stops the real-time thread and the clock driver.
  void shutdown();

  // ---- state (guarded by mutex) ----
  Executor& clock;
  SimOptions options;
  mutable std::mutex mutex;
  AudioObjectID nextObjectID = 40;
  IOProcID nextProcID = 0x1000;
  std::map<AudioObjectID, PhysicalDevice> devices;
  std::map<AudioObjectID, StreamObject> streams;
  std::map<AudioObjectID, Tap> taps;
  std::map<AudioObjectID, Aggregate> aggregates;
  std::map<std::int32_t, AudioObjectID> processes;  // pid → object
  std::map<IOProcID, IOProcEntry> procs;
  std::map<AudioObjectID, std::unique_ptr<DeviceRun>> runs;
  std::map<std::string, std::shared_ptr<Recorder>, std::less<>> recorders;
  std::vector<ListenerRegistration> listeners;
  std::vector<std::pair<AudioObjectID, PropertyAddress>> pendingChanges;
  AudioObjectID defaultOutput = kUnknownObject;
  FaultPlan faults;
  SignalSource systemMix;
  bool captureBlocked = false;
  bool serviceAlive = true;
  std::set<AudioObjectID> stalled;
  std::map<AudioObjectID, std::uint64_t> procCycleCount;
  double ioTime = 0;
  double directTime = 0;  // the default output's direct playback is rendered up to here
  IODriver driver = IODriver::manual;
  double clockOrigin = 0;  // clock.now() at ioTime 0 (clock driver)
  double realOrigin = 0;   // steady seconds at ioTime 0 (real-time driver)
  TaskHandle clockTick;
  std::optional<double> clockTickDue;
  std::optional<Room> room;
  std::mt19937 roomNoise;

  // ---- IO driving ----
  std::mutex ioMutex;
  std::thread realtimeThread;
  std::mutex realtimeMutex;
  std::condition_variable realtimeWake;
  bool realtimeStop = false;
  bool realtimeKick = false;

  // ---- helpers (mutex held) ----
  AudioObjectID allocateID() { return nextObjectID++; }
  PhysicalDevice* deviceByUID(std::string_view uid);
  const PhysicalDevice* deviceByUID(std::string_view uid) const;
  bool uidInUse(std::string_view uid) const;
  bool isDeviceObject(AudioObjectID id) const;
  void notify(AudioObjectID object, std::uint32_t selector, std::uint32_t scope = kScopeGlobal);
  // Posts one call per registration for every change noted since the last
  // flush. Our executors never run a task inside post(), so this is safe
  // with the state lock held.
  void flushNotifications();
  double joinDelayFor(const DeviceSpec& spec) const;
  void scheduleJoinNotice(AudioObjectID aggregate, double at);
  std::vector<const PhysicalDevice*> joinedSubs(const Aggregate& aggregate, double now) const;
  void notifyAggregateShape(AudioObjectID aggregate);
  void chooseDefaultOutputAfterRemoval();
  Recorder* recorderFor(const PhysicalDevice& device);
  bool tapMutesOutput() const;
  bool isRunningLocked(AudioObjectID device) const;
  bool isGoing(AudioObjectID device) const;
  // Erases a run now, or marks it for the pass that is using it.
  void endRun(AudioObjectID device);
  IOLayout layoutOf(AudioObjectID device, double now) const;

  HALStatus read(AudioObjectID object, const PropertyAddress& address, std::uint32_t qualifierSize,
                 const void* qualifier, std::uint32_t ioSize, const void* inData,
                 PropertyValue& out);
  HALStatus write(AudioObjectID object, const PropertyAddress& address, std::uint32_t size,
                  const void* data);

  // ---- IO (sim_io.cpp) ----
  // Runs every cycle starting before `target` and the direct playback up to
  // it. Requires ioMutex (or being inside a pass on this thread).
  void ioPassTo(double target);
  std::optional<double> nextCycleTime() const;  // mutex held
  double driverNow() const;                     // mutex held: the driver's current IO time
  bool prepareCycle(DeviceRun& run);            // mutex held
  void routeCycle(DeviceRun& run);              // mutex held
  // What the room's microphone hears during this cycle (room.cpp).
  void renderMicrophone(DeviceRun& run, double period);  // mutex held
  void wakeDriver();                                     // mutex held
  void scheduleClockTick();                              // mutex held
  void onClockTick();
  void startRealtime();
  void stopRealtime();
  void realtimeLoop();
  void renderDirect(double target);  // mutex held
  // Brings the direct playback up to the driver's present, so a change of
  // the default output, a tap or the mix takes effect from now on.
  void catchUpDirect() { renderDirect(driverNow()); }  // mutex held
  bool inPass() const;
};

// RAII for "hold ioMutex unless this thread is inside a pass already".
class IOLock {
 public:
  explicit IOLock(SimAudioSystem::Impl& impl);
  ~IOLock();
  IOLock(const IOLock&) = delete;
  IOLock& operator=(const IOLock&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace choralink::sim
