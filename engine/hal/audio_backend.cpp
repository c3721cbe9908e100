#include "engine/hal/audio_backend.h"

#include <cstdlib>
#include <string_view>

#include "engine/dispatch/serial_queue.h"
#include "engine/hal/sim/presets.h"
#include "engine/hal/sim/sim_audio_system.h"
#include "support/paths.h"

#ifdef CHORALINK_HAVE_PIPEWIRE
#include "engine/hal/pipewire/pipewire_audio_system.h"
#endif

namespace choralink {

namespace {

class SimulatedBackend final : public AudioBackend {
 public:
  explicit SimulatedBackend(std::string note) : AudioBackend(std::move(note)) {
    sim::presets::addStandardMachine(system_);
    sim::presets::addStandardRoom(system_);
    system_.setIODriver(sim::IODriver::realtime);
  }
  AudioBackendKind kind() const override { return AudioBackendKind::simulated; }
  AudioSystem& system() override { return system_; }
  bool playAlertSound() override {
    system_.playChime();
    return true;
  }

 private:
  // The simulator's clock runs in real time on its own thread; it outlives
  // the system, which posts its notifications and joins to it.
  SerialQueue clock_{"app.choralink.sim"};
  sim::SimAudioSystem system_{clock_};
};

#ifdef CHORALINK_HAVE_PIPEWIRE
class PipeWireBackend final : public AudioBackend {
 public:
  explicit PipeWireBackend(PipeWireAudioSystem::Options options)
      : AudioBackend({}), system_(std::move(options)) {}
  AudioBackendKind kind() const override { return AudioBackendKind::pipewire; }
  AudioSystem& system() override { return system_; }
  PipeWireAudioSystem* pipewire() override { return &system_; }
  bool playAlertSound() override { return system_.playAlertSound(); }

 private:
  PipeWireAudioSystem system_;
};
#endif

}  // namespace

AudioBackendRequest parseAudioBackendRequest(const char* value) {
  const std::string_view text = value != nullptr ? value : "";
  if (text.empty()) return AudioBackendRequest::automatic;
  if (text == "pipewire") return AudioBackendRequest::pipewire;
  if (text == "sim") return AudioBackendRequest::simulated;
  throw AudioBackendError(std::string(kAudioBackendVariable) + " is \"" + std::string(text) +
                          "\"; it must be \"pipewire\" or \"sim\" (or unset to choose "
                          "automatically)");
}

std::unique_ptr<AudioBackend> openAudioBackend(const AudioBackendOptions& options) {
  const AudioBackendRequest request = parseAudioBackendRequest(
      options.request ? options.request->c_str() : std::getenv(kAudioBackendVariable));
  if (request == AudioBackendRequest::simulated) {
    return std::make_unique<SimulatedBackend>(kSimulatedForcedNote);
  }
#ifdef CHORALINK_HAVE_PIPEWIRE
  PipeWireAudioSystem::Options pw;
  pw.remoteName = options.pipewireRemote;
  pw.defaultJournalPath = options.defaultJournalPath ? *options.defaultJournalPath
                                                     : Paths::defaultOutputJournalFile().string();
  pw.timeoutSeconds = options.timeoutSeconds;
  try {
    return std::make_unique<PipeWireBackend>(std::move(pw));
  } catch (const pipewire::PwError& e) {
    if (request == AudioBackendRequest::automatic) {
      return std::make_unique<SimulatedBackend>(kSimulatedNoServerNote);
    }
    const std::string where = options.pipewireRemote.empty() ? "" : " at " + options.pipewireRemote;
    throw AudioBackendError(std::string(kAudioBackendVariable) +
                            "=pipewire, but no PipeWire sound server answered" + where + " (" +
                            e.what() + ")");
  }
#else
  if (request == AudioBackendRequest::automatic) {
    return std::make_unique<SimulatedBackend>(kSimulatedNotBuiltNote);
  }
  throw AudioBackendError(std::string(kAudioBackendVariable) +
                          "=pipewire, but this build has no PipeWire support");
#endif
}

}  // namespace choralink
