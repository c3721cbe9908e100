// Per-device delays that line every output up with the slowest one, plus the
// user's own offset. Pure functions; the router recomputes them whenever a
// broadcast is built or an offset changes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace choralink::LatencyModel {

struct Input {
  std::string uid;
  int64_t latencyFrames = 0;  // at deviceRate
  double deviceRate = 0;      // 0 when unknown: latencyFrames are taken as broadcast frames
  int64_t userOffsetMs = 0;   // negative counts as 0
  friend bool operator==(const Input&, const Input&) = default;
};

struct Output {
  int64_t padFrames = 0;    // lines the device up with the slowest; never clamped
  int64_t totalFrames = 0;  // pad + offset, clamped to 0..maxFrames: what the render applies
  friend bool operator==(const Output&, const Output&) = default;
};

// round(rate * ms / 1000), halves away from zero.
int64_t msToFrames(int64_t ms, double rate);

// One result per UID; a later input with the same UID replaces an earlier one.
std::map<std::string, Output> compute(const std::vector<Input>& inputs, double rate,
                                      int64_t maxFrames);

}  // namespace choralink::LatencyModel
