// What the app model needs of the engine's router, and nothing more. The
// engine's AudioRouter implements it; the model's tests use a fake. It lives
// in the engine, beside the router, because the engine must not depend on the
// app model; app/model/router_control.h includes it from here.
//
// Threads. The model calls every operation on its own (main) thread. The
// synchronous calls must return quickly: they touch only the router's short
// parameter lock, never wait for its queue. The asynchronous ones hand their
// step to the router's queue and return at once; when the step has finished
// the router calls the step's RouterCompletion exactly once, from whichever
// thread it likes (normally its queue, possibly before the call returns). The
// model itself hops back onto its executor, so the router never needs to know
// it. A completion that is still outstanding when the router is destroyed is
// dropped without being called.
//
// Contract on events: a successful start is followed by a `started` event, and
// every end of a broadcast, requested or not, is announced by a `stopped`
// event on events().
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/devices/audio_device_info.h"
#include "engine/dispatch/bounded_stream.h"
#include "engine/graph/latency_model.h"
#include "types/broadcast_config.h"
#include "types/engine_event.h"

namespace choralink {

// The end of an asynchronous router step: a null pointer on success, the
// step's error otherwise (a HALError, a session error, …; its what() is the
// description the user sees).
using RouterCompletion = std::function<void(std::exception_ptr error)>;

class RouterControl {
 public:
  virtual ~RouterControl() = default;

  // Stores `config` and (re)builds the broadcast on the router's queue.
  // Fails with the rebuild's error; finding no device is not a failure (it
  // is reported as stopped(noDevices)).
  virtual void start(const BroadcastConfig& config, RouterCompletion done) = 0;
  // Tears the broadcast down and sends stopped(user), even when idle. Never
  // fails.
  virtual void stop(RouterCompletion done) = 0;
  // A new configuration: applied live when only parameters changed, else a
  // rebuild while a broadcast is wanted. Synchronous.
  virtual void update(const BroadcastConfig& config) = 0;

  // Live parameters, synchronous. Gains are linear 0…1, delays whole ms;
  // the router clamps.
  virtual void setVolume(const std::string& uid, float gain) = 0;
  virtual void setOffset(const std::string& uid, std::int64_t ms, bool userSet) = 0;
  virtual void setMasterVolume(float gain) = 0;

  // The output peak of every playing device since the previous call (read
  // and reset); empty without a broadcast.
  virtual std::map<std::string, float> levels() = 0;
  // The delay each playing device gets, for display.
  virtual std::map<std::string, LatencyModel::Output> delayBreakdown() = 0;
  // Plays the sync test (clicks on every device at once) when broadcasting.
  virtual void playTestTone() = 0;

  // The capture probe used by onboarding: a silent session that shows
  // whether the system lets us capture its sound. Starting fails with the
  // session's error, or when no output device can host it.
  virtual void startCaptureProbe(RouterCompletion done) = 0;
  virtual void stopCaptureProbe(RouterCompletion done) = 0;
  // Whether the running session's audio callback has run at least once.
  virtual bool callbackHasRun() = 0;
  // The captured input's peak since the previous call (read and reset).
  virtual float inputLevel() = 0;

  // The system is about to sleep, or has woken: the lifecycle calls these on
  // the platform's notifications. Sleep ends a broadcast (stopped(sleep));
  // wake restarts a wanted one a little later. Both return at once.
  virtual void systemWillSleep() = 0;
  virtual void systemDidWake() = 0;

  // Tears everything down and restores the system's output, waiting at most
  // `timeoutSeconds`. Blocks the caller; never called on the router's queue.
  virtual void shutdownSync(double timeoutSeconds) = 0;

  // The two streams the model consumes on its executor: complete device
  // lists (newest only) and engine events (newest 32).
  virtual BoundedStream<std::vector<AudioDeviceInfo>>& deviceSnapshots() = 0;
  virtual BoundedStream<EngineEvent>& events() = 0;
};

}  // namespace choralink
