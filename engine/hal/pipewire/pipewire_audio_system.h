// PipeWireAudioSystem: the audio platform seam (AudioSystem) realised on a
// PipeWire daemon. A translator: it answers the platform operations from the
// live graph model (PwGraph) and carries out taps, aggregates and IO through
// our own PipeWire nodes and links; it decides nothing the engine decides.
//
// Mapping (platform concept → PipeWire):
//   system object (1)    the graph: "dev#" lists the Audio/Sink and
//                        Audio/Source nodes other than our own, and our
//                        aggregates, in object id order; "dOut" is the sink
//                        named by default.audio.sink — while our muted tap
//                        holds the default, the one it held before; with no
//                        such key (no session manager) the sink one would pick:
//                        highest priority.session, then priority.driver
//   device               one Audio/Sink node; properties from SinkFacts
//                        (pw_device_facts.h, which states every rule). Object
//                        ids are ours, given when a node appears, dropped when
//                        it goes; a returning device gets a new id, its UID
//                        (node.name) stays
//   input device         one Audio/Source or Audio/Source/Virtual node
//                        (microphones, line inputs, virtual sources; a sink's
//                        monitor is ports of the sink, never a node of these
//                        classes): the same rules, with its streams, "ltnc",
//                        "saft" and "fsiz" in the input scope and no output
//                        streams, so the device catalog never offers it as a
//                        broadcast target; "nsrt" is the graph's rate, the one
//                        its IO delivers (pw_device_facts.h)
//   stream               one object per device channel (DSP ports are mono)
//   "nsrt" write         accepted when it asks for the rate the device already
//                        has; refused with 'unop' otherwise, because a client
//                        cannot set one device's rate (the graph has one clock
//                        and each sink's adapter resamples to it)
//   "id2p"               this process → its process object (2); others → 0
//   process tap          muted: a virtual sink "Choralink" (PwVirtualSink)
//                        becomes the default output for the tap's life and its
//                        monitor is captured; the previous default is put back
//                        at destruction, and journaled so that the next start
//                        puts it back after a crash. Destruction returns once
//                        the default is back and our sink has left the graph,
//                        so a rebuild's next tap can take the name at once.
//                        Unmuted: the monitor of the default output ("dOut")
//                        at creation. Always a stereo mix at the graph rate
//                        ("tfmt": 2 channels of float32)
//   aggregate device     one PwAggregate filter node: its capture ports are
//                        linked to the tap's monitor, its output groups to each
//                        sub-device's playback ports, all by our own links. A
//                        sub-device joins ("agrp") when all its links are
//                        active. "master" and "drift" have nothing to do: the
//                        graph has one driver and adapters resample
//   IO procedure         called from the filter's process callback with one
//                        mono buffer per presented port; one per aggregate.
//                        On an input device (PwInputStream): a capture node of
//                        ours, linked by our own links from the source's
//                        capture ports when the procedure is created; the
//                        procedure gets one mono buffer per channel and an
//                        empty output list; start returns once the links
//                        carry data; cycles our node missed arrive as silence;
//                        when the source leaves the calls end; destruction
//                        removes the node and its links. One per input device.
//                        On a sink: 'unop'
//   "over"               notified when the daemon's profiler reports that the
//                        aggregate's node, or the driver it follows, missed a
//                        cycle (profiling is on only while an aggregate runs)
//   alert sound          a one-shot player node of ours, linked to the
//                        default output's playback ports
//   daemon gone          every device and aggregate reads as not alive, the
//                        device list empties, "srvl" reads 0, listeners of
//                        "livn", "dev#", "dOut" and "srvl" are notified;
//                        operations answer '!dev'. Every 0.5 s a thread of
//                        ours connects again to the same remote
//   daemon back          the graph is read anew: devices get new ids (same
//                        UIDs), "srvl" reads 1, listeners of "dev#", "dOut"
//                        and "srvl" are notified (registrations on the system
//                        object made before the loss keep working). Taps,
//                        aggregates and IO procedures of the lost daemon stay
//                        dead ('!dev', "livn" 0, not in "dev#") until
//                        destroyed; new ones work. The default-output journal
//                        is read as at start: no tap of the old daemon stands
//                        for the default any more
//
// Not mapped: per-process tapping (PipeWire mixes per sink, so the tap takes
// what is routed to one sink, not "every process but ours"; our own output
// never reaches the captured sink because only our links carry it); "hidn"
// (always 0); stream usage other than input streams.
//
// Threads. Every operation may be called from any ordinary thread; each takes
// the PipeWire loop lock, so operations and graph callbacks are serialised;
// so does the reconnecting thread, between its waits for the daemon.
// Listener blocks run on their queues, posted from the loop thread. IO
// procedures run on PipeWire's data thread.
#pragma once

#include <memory>
#include <string>

#include "engine/hal/audio_system.h"
#include "engine/hal/pipewire/pw_graph.h"
#include "engine/hal/pipewire/pw_runtime.h"

namespace choralink {

class PipeWireAudioSystem final : public AudioSystem {
 public:
  struct Options {
    // The daemon; empty: the session's own (PIPEWIRE_REMOTE or the default).
    std::string remoteName;
    std::string clientName = "Choralink";
    // Where the default output is journaled while our muted tap holds it;
    // empty: not journaled.
    std::string defaultJournalPath;
    // Bound on waiting for the daemon (start-up, our virtual sink to appear).
    double timeoutSeconds = 2.0;
  };

  // Connects and reads the graph. Throws pipewire::PwError when no daemon
  // answers. Puts back a default output left journaled by a crashed run.
  explicit PipeWireAudioSystem(Options options);
  ~PipeWireAudioSystem() override;

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

  // Plays the alert chime (engine/hal/alert_chime.h) where applications'
  // sound goes now: the default output, which is our captured sink while a
  // muted tap holds it. Returns once the chime has started, without waiting
  // for its end; false when it cannot play (no output, no daemon, the node or
  // its links did not come up in time). The chime's node stays until the
  // next chime or destruction. Not on the loop thread.
  bool playAlertSound();

  // For tests and tools: the connection and graph this system reads. The
  // graph is replaced when a lost daemon comes back; the loop stays.
  pipewire::PwThreadLoop& loop();
  pipewire::PwGraph& graph();
  // The device object of a UID (node.name), 0 when none. Any thread.
  AudioObjectID deviceForUID(const std::string& uid) const;

  // The object id of this process ("id2p").
  static constexpr AudioObjectID kOwnProcessObject = 2;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether a PipeWire daemon answers on `remoteName` (empty: the session's).
// For choosing a backend at start; connects and disconnects at once.
bool pipewireDaemonAnswers(const std::string& remoteName = {});

}  // namespace choralink
