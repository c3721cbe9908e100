// A router for app-model tests: records every call, answers read-outs from
// values the test sets, and ends asynchronous steps either at once or when
// the test says so. The two streams are real bounded streams the test
// feeds. Used on the test's thread only.
#pragma once

#include <deque>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "app/model/router_control.h"

namespace choralink::test {

class FakeRouter final : public RouterControl {
 public:
  struct VolumeCall {
    std::string uid;
    float gain = 0;
  };
  struct OffsetCall {
    std::string uid;
    std::int64_t ms = 0;
    bool userSet = false;
    friend bool operator==(const OffsetCall&, const OffsetCall&) = default;
  };

  // --- RouterControl ---
  void start(const BroadcastConfig& config, RouterCompletion done) override;
  void stop(RouterCompletion done) override;
  void update(const BroadcastConfig& config) override;
  void setVolume(const std::string& uid, float gain) override;
  void setOffset(const std::string& uid, std::int64_t ms, bool userSet) override;
  void setMasterVolume(float gain) override;
  std::map<std::string, float> levels() override;
  std::map<std::string, LatencyModel::Output> delayBreakdown() override;
  void playTestTone() override { calls.push_back("playTestTone"); }
  void startCaptureProbe(RouterCompletion done) override;
  void stopCaptureProbe(RouterCompletion done) override;
  bool callbackHasRun() override { return callbackRan; }
  float inputLevel() override;
  void systemWillSleep() override { calls.push_back("systemWillSleep"); }
  void systemDidWake() override { calls.push_back("systemDidWake"); }
  void shutdownSync(double timeoutSeconds) override { shutdowns.push_back(timeoutSeconds); }
  BoundedStream<std::vector<AudioDeviceInfo>>& deviceSnapshots() override { return snapshots; }
  BoundedStream<EngineEvent>& events() override { return eventStream; }

  // --- How asynchronous steps end ---
  // true: inside the call; false: when the test calls complete().
  bool completeAtOnce = true;
  // The error the next probe start fails with (null: success).
  std::exception_ptr probeStartError;
  // Ends the oldest outstanding step named `operation` ("start", "stop",
  // "startCaptureProbe", "stopCaptureProbe"); returns false when none.
  bool complete(const std::string& operation, std::exception_ptr error = nullptr);
  std::size_t outstanding() const { return pending_.size(); }

  // --- Read-outs the test sets ---
  // Output peaks by UID; levels() returns them and resets each to 0, as the
  // render state's peak taking does.
  std::map<std::string, float> peaks;
  std::map<std::string, LatencyModel::Output> breakdown;
  bool callbackRan = false;
  // The captured input's peak; inputLevel() returns it and resets it.
  float inputPeak = 0;

  // --- What the model did ---
  std::vector<std::string> calls;  // operation names, in call order
  std::vector<BroadcastConfig> starts;
  std::vector<BroadcastConfig> updates;
  std::vector<VolumeCall> volumes;
  std::vector<OffsetCall> offsets;
  std::vector<float> masterVolumes;
  std::vector<double> shutdowns;
  int levelReads = 0;
  int delayReads = 0;
  int count(const std::string& operation) const;

  // --- The streams, fed by the test ---
  LatestValueStream<std::vector<AudioDeviceInfo>> snapshots;
  BoundedStream<EngineEvent> eventStream{32};

 private:
  void finish(const std::string& operation, RouterCompletion done, std::exception_ptr error);
  struct Pending {
    std::string operation;
    RouterCompletion done;
    std::exception_ptr error;
  };
  std::deque<Pending> pending_;
};

}  // namespace choralink::test
