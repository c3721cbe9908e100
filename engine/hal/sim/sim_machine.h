// A simulated machine in one object: a virtual clock, the simulated audio
// system on it with IO driven by that clock, and optionally the standard
// four devices. Advancing the clock runs timers, listener deliveries, joins
// and IO cycles together, in time order:
//
//   SimMachine machine(SimMachine::standard);
//   machine.clock.advanceBy(1.0);  // one second of everything
//   auto heard = machine.system.recording(presets::kSpeakersUID);
#pragma once

#include "engine/dispatch/virtual_executor.h"
#include "engine/hal/sim/presets.h"
#include "engine/hal/sim/sim_audio_system.h"

namespace choralink::sim {

struct SimMachine {
  struct Standard {};
  static constexpr Standard standard{};

  explicit SimMachine(SimOptions options = {}) : system(clock, options) {
    system.setIODriver(IODriver::clock);
  }
  explicit SimMachine(Standard, SimOptions options = {}) : SimMachine(options) {
    devices = presets::addStandardMachine(system);
  }

  VirtualExecutor clock{"sim-clock"};
  SimAudioSystem system;
  presets::StandardMachine devices;
};

}  // namespace choralink::sim
