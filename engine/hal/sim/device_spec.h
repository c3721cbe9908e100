// Everything the simulated audio system knows about one physical output (or
// input/output) device: every property of the engine's selector table, plus
// the simulation's own knobs (clock error, join delay, hidden latency,
// recording). Plain value; tests build one, or start from a preset.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/hal/audio_records.h"
#include "engine/hal/hal_codes.h"

namespace choralink::sim {

struct DeviceSpec {
  std::string uid;                          // "uid "
  std::optional<std::string> name;          // "lnam"; none reads as a null string reference
  std::uint32_t transport = kTransportUSB;  // "tran"
  double nominalRate = 48000;               // "nsrt"
  // "nsr#"; empty means exactly the nominal rate.
  std::vector<ValueRange> availableRates;
  std::vector<std::uint32_t> outputStreams{2};  // channels per output stream ("slay" outp)
  std::vector<std::uint32_t> inputStreams;      // channels per input stream ("slay" inpt)
  std::uint32_t inputLatencyFrames = 0;         // "ltnc" (input scope)
  // "dch2" (output scope), exposed verbatim; empty makes the property unknown.
  std::vector<std::uint32_t> preferredStereo{1, 2};
  std::uint32_t latencyFrames = 0;        // "ltnc" (output scope)
  std::uint32_t safetyOffsetFrames = 0;   // "saft" (output scope)
  std::uint32_t bufferFrameSize = 512;    // "fsiz"; also the IO cycle length
  std::uint32_t streamLatencyFrames = 0;  // "ltnc" of each output stream
  bool alive = true;                      // "livn"
  bool hidden = false;                    // "hidn"
  bool rateSettable = true;               // false: writing "nsrt" fails with 'nope'

  // ---- simulation only ----
  // Sound reaches the listener this many frames later than every property
  // admits (a device that under-reports its latency).
  std::uint32_t hiddenLatencyFrames = 0;
  // Error of the device's sample clock in parts per million (+ runs fast).
  double clockErrorPpm = 0;
  // Seconds after an aggregate asks for it (or after it reappears) until the
  // device joins; none: the system's default join delay.
  std::optional<double> joinDelay;
  // false: the device never joins an aggregate.
  bool joinsAggregates = true;
  // Sample rate of the device's recording; none: its nominal rate when added.
  std::optional<double> recordRate;
  // false: nothing is recorded for this device (saves memory in long runs).
  bool record = true;

  std::uint32_t outputChannels() const;
  // ltnc + saft + fsiz + stream ltnc: what the engine computes from properties.
  std::uint32_t reportedOutputLatencyFrames() const;
  // Seconds from handing a frame to the device until it sounds, at the
  // current nominal rate: the reported latency plus the hidden one.
  double outputLatencySeconds() const;
  // The ranges "nsr#" reports (the nominal rate alone when none are set).
  std::vector<ValueRange> rateRanges() const;
  bool supportsRate(double rate) const;
};

// Discrete ranges {r, r} for each rate, the usual shape of "nsr#".
std::vector<ValueRange> discreteRates(std::initializer_list<double> rates);

}  // namespace choralink::sim
