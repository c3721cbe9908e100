// Which audio system the application runs on: PipeWire when a sound server
// answers, else the simulated machine, with a note for the user so that
// nobody takes its devices for real ones. CHORALINK_AUDIO_BACKEND forces one:
// "pipewire" (an error when no server answers, never a silent fallback) or
// "sim". choralink-sim does not ask: it always simulates.
//
// Built with or without libpipewire: without it, the automatic choice is the
// simulated machine and a forced "pipewire" is an error.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "engine/hal/audio_system.h"

namespace choralink {

class PipeWireAudioSystem;

inline constexpr const char* kAudioBackendVariable = "CHORALINK_AUDIO_BACKEND";

// The notes shown while devices are simulated.
inline constexpr const char* kSimulatedNoServerNote =
    "Devices are simulated: no PipeWire sound server answered.";
inline constexpr const char* kSimulatedForcedNote =
    "Devices are simulated (CHORALINK_AUDIO_BACKEND=sim).";
inline constexpr const char* kSimulatedNotBuiltNote =
    "Devices are simulated: this build has no PipeWire support.";

// A backend that was asked for and cannot be had, or a request that names no
// backend. what() is the sentence to show.
class AudioBackendError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class AudioBackendKind { pipewire, simulated };
enum class AudioBackendRequest { automatic, pipewire, simulated };

// The variable's value: unset or empty is automatic, then exactly "pipewire"
// or "sim". Anything else throws AudioBackendError naming the value.
AudioBackendRequest parseAudioBackendRequest(const char* value);

struct AudioBackendOptions {
  // The request as the variable would give it; none: read the variable.
  std::optional<std::string> request;
  // The PipeWire daemon; empty: the session's (PIPEWIRE_REMOTE or default).
  std::string pipewireRemote;
  // Where the PipeWire system journals the default output. None: the
  // application-support folder (Paths::defaultOutputJournalFile()), which
  // every composition root uses so that a run after a crash finds it; empty:
  // nowhere (only tests that look at the journal themselves choose that).
  std::optional<std::string> defaultJournalPath;
  // Bound on waiting for a daemon that accepted the connection.
  double timeoutSeconds = 2.0;
};

class AudioBackend {
 public:
  virtual ~AudioBackend() = default;
  virtual AudioBackendKind kind() const = 0;
  virtual AudioSystem& system() = 0;
  // The PipeWire system itself (for tools that look at the graph); null on
  // the simulated machine.
  virtual PipeWireAudioSystem* pipewire() { return nullptr; }
  // Plays the alert chime where applications' sound goes now, without
  // waiting for its end: the capture check listens for it. False when it
  // cannot play.
  virtual bool playAlertSound() = 0;
  // A sentence to show the user; empty when the devices are real.
  const std::string& note() const { return note_; }

 protected:
  explicit AudioBackend(std::string note) : note_(std::move(note)) {}

 private:
  std::string note_;
};

// Opens the backend the request and the machine call for. On PipeWire a
// default output left journaled (or left naming our own sink) by a run that
// ended uncleanly is put back before this returns. The simulated
// machine has the standard four output devices and runs its IO in real time
// on a thread of its own. Throws AudioBackendError (see above).
std::unique_ptr<AudioBackend> openAudioBackend(const AudioBackendOptions& options = {});

}  // namespace choralink
