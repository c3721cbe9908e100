#include "tests/app/fake_router.h"

#include <algorithm>
#include <utility>

namespace choralink::test {

void FakeRouter::finish(const std::string& operation, RouterCompletion done,
                        std::exception_ptr error) {
  if (completeAtOnce) {
    if (done) done(error);
  } else {
    pending_.push_back(Pending{operation, std::move(done), error});
  }
}

bool FakeRouter::complete(const std::string& operation, std::exception_ptr error) {
  auto found = std::find_if(pending_.begin(), pending_.end(),
                            [&](const Pending& p) { return p.operation == operation; });
  if (found == pending_.end()) return false;
  Pending step = std::move(*found);
  pending_.erase(found);
  if (step.done) step.done(error ? error : step.error);
  return true;
}

int FakeRouter::count(const std::string& operation) const {
  return static_cast<int>(std::count(calls.begin(), calls.end(), operation));
}

void FakeRouter::start(const BroadcastConfig& config, RouterCompletion done) {
  calls.push_back("start");
  starts.push_back(config);
  finish("start", std::move(done), nullptr);
}

void FakeRouter::stop(RouterCompletion done) {
  calls.push_back("stop");
  finish("stop", std::move(done), nullptr);
}

void FakeRouter::update(const BroadcastConfig& config) {
  calls.push_back("update");
  updates.push_back(config);
}

void FakeRouter::setVolume(const std::string& uid, float gain) {
  calls.push_back("setVolume");
  volumes.push_back({uid, gain});
}

void FakeRouter::setOffset(const std::string& uid, std::int64_t ms, bool userSet) {
  calls.push_back("setOffset");
  offsets.push_back({uid, ms, userSet});
}

void FakeRouter::setMasterVolume(float gain) {
  calls.push_back("setMasterVolume");
  masterVolumes.push_back(gain);
}

std::map<std::string, float> FakeRouter::levels() {
  ++levelReads;
  std::map<std::string, float> taken = peaks;
  for (auto& [uid, peak] : peaks)
    peak = 0;
  return taken;
}

std::map<std::string, LatencyModel::Output> FakeRouter::delayBreakdown() {
  ++delayReads;
  return breakdown;
}

void FakeRouter::startCaptureProbe(RouterCompletion done) {
  calls.push_back("startCaptureProbe");
  finish("startCaptureProbe", std::move(done), std::exchange(probeStartError, nullptr));
}

void FakeRouter::stopCaptureProbe(RouterCompletion done) {
  calls.push_back("stopCaptureProbe");
  finish("stopCaptureProbe", std::move(done), nullptr);
}

float FakeRouter::inputLevel() {
  return std::exchange(inputPeak, 0.0f);
}

}  // namespace choralink::test
