#include "engine/hal/pipewire/pipewire_audio_system.h"

#include <pipewire/pipewire.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "engine/hal/alert_chime.h"
#include "engine/hal/pipewire/pw_aggregate.h"
#include "engine/hal/pipewire/pw_default_output.h"
#include "engine/hal/pipewire/pw_device_facts.h"
#include "engine/hal/pipewire/pw_input_stream.h"
#include "engine/hal/pipewire/pw_link.h"
#include "engine/hal/pipewire/pw_ports.h"
#include "engine/hal/pipewire/pw_recorder.h"
#include "engine/hal/pipewire/pw_virtual_sink.h"

namespace choralink {

using pipewire::GraphClock;
using pipewire::PwAggregate;
using pipewire::PwAggregateSpec;
using pipewire::PwDspFilter;
using pipewire::PwDspPort;
using pipewire::PwGraph;
using pipewire::PwGraphEvent;
using pipewire::PwLinks;
using pipewire::PwLock;
using pipewire::PwPlayer;
using pipewire::PwPort;
using pipewire::PwThreadLoop;
using pipewire::PwVirtualSink;
using pipewire::SavedDefaultOutput;
using pipewire::SinkFacts;

namespace {

// Object ids below this are fixed (the system and our process); the rest are
// handed out as objects appear.
constexpr AudioObjectID kFirstDynamicObject = 100;
constexpr double kMaintenanceSeconds = 0.1;
// How often a lost daemon is asked again whether it is back.
constexpr auto kReconnectPeriod = std::chrono::milliseconds(500);
constexpr const char* kVirtualSinkName = "Choralink";
constexpr const char* kAggregateNodeName = "choralink.aggregate";
constexpr double kRateTolerance = 0.5;
constexpr uint32_t kTapChannels = 2;

// A property's value as bytes, with the rule its reads follow.
struct Value {
  std::vector<std::byte> bytes;
  bool fixed = true;        // a read needs exactly this size
  std::size_t element = 1;  // arrays: reads copy whole elements
  bool isString = false;    // a string reference, written at read time
  std::optional<std::string> text;

  std::size_t size() const { return isString ? kStringRefSize : bytes.size(); }
};

template <class T>
Value scalar(const T& v) {
  Value value;
  value.bytes.resize(sizeof(T));
  std::memcpy(value.bytes.data(), &v, sizeof(T));
  return value;
}

template <class T>
Value array(const std::vector<T>& values) {
  Value value;
  value.fixed = false;
  value.element = sizeof(T);
  value.bytes.resize(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(value.bytes.data(), values.data(), value.bytes.size());
  return value;
}

Value string(std::optional<std::string> text) {
  Value value;
  value.isString = true;
  value.text = std::move(text);
  return value;
}

Value streamConfiguration(const std::vector<uint32_t>& channels) {
  Value value;
  value.fixed = false;
  value.bytes = encodeStreamConfiguration(channels);
  return value;
}

HALStatus put(Value& out, Value value) {
  out = std::move(value);
  return kStatusOK;
}

bool isOutput(const PropertyAddress& a) {
  return a.scope == kScopeOutput;
}
bool isInput(const PropertyAddress& a) {
  return a.scope == kScopeInput;
}
// The scope a device's streams and latency live in: input for a source.
bool isOwnScope(const SinkFacts& f, const PropertyAddress& a) {
  return f.source ? isInput(a) : isOutput(a);
}

}  // namespace

// Everything below runs with the loop lock held: the public operations take
// it once, PipeWire's callbacks run with it.
struct PipeWireAudioSystem::Impl {
  struct Device {
    AudioObjectID id = 0;
    SinkFacts facts;
    std::vector<AudioObjectID> streams;
  };

  struct Tap {
    AudioObjectID id = 0;
    std::string uid;
    bool muted = false;
    std::unique_ptr<PwVirtualSink> sink;  // muted: our virtual sink
    std::string sourceName;               // the sink whose monitor is captured
    std::optional<SavedDefaultOutput> saved;
    uint64_t generation = 0;  // the connection it was made on
  };

  struct SubDevice {
    std::string uid;
    int group = -1;  // the filter's output group, -1: the sink was absent at creation
    std::vector<std::string> positions;
    PwLinks links;
    bool joined = false;
  };

  struct Aggregate {
    AudioObjectID id = 0;
    std::string uid;
    std::string name;
    AudioObjectID tap = 0;
    std::vector<SubDevice> subs;
    std::unique_ptr<PwAggregate> filter;
    PwLinks captureLinks;
    std::vector<bool> inputUsage;
    IOProcID proc = kNoIOProc;
    uint64_t generation = 0;
  };

  struct Registration {
    AudioObjectID object = 0;
    PropertyAddress address;
    Executor* queue = nullptr;
    PropertyListenerBlock block;
    std::shared_ptr<std::atomic<bool>> alive;
  };

  Options options;
  std::unique_ptr<PwThreadLoop> loop;
  std::unique_ptr<PwGraph> graph;
  // Models of lost connections: a caller may still hold one (graph()).
  std::vector<std::unique_ptr<PwGraph>> retiredGraphs;
  int graphToken = 0;
  spa_source* maintenanceTimer = nullptr;
  bool lost = false;
  // Counts the connections: objects of an earlier one stay dead.
  uint64_t generation = 0;
  // The reconnecting thread, woken by a loss. reconnectMutex guards the two
  // flags; the loop thread takes it under the loop lock, so nobody takes the
  // loop lock while holding it.
  std::thread reconnector;
  std::mutex reconnectMutex;
  std::condition_variable reconnectWake;
  bool lossPending = false;
  bool stopping = false;
  AudioObjectID nextId = kFirstDynamicObject;
  IOProcID nextProc = 1;

  std::map<uint32_t, Device> devices;  // by node id
  std::map<AudioObjectID, uint32_t> deviceNodes;
  std::map<AudioObjectID, AudioObjectID> streamDevices;
  AudioObjectID defaultDevice = 0;
  std::map<AudioObjectID, std::unique_ptr<Tap>> taps;
  std::map<AudioObjectID, std::unique_ptr<Aggregate>> aggregates;
  std::unique_ptr<pipewire::PwInputCaptures> inputs;  // input devices' IO procedures
  // Input streams of lost connections, closed with them (they read the
  // retired graph models).
  std::vector<std::unique_ptr<pipewire::PwInputCaptures>> retiredInputs;
  std::vector<Registration> registrations;
  // The last alert chime: its player and links (alertMutex, not the loop
  // lock, guards them: making them waits on the loop thread).
  std::mutex alertMutex;
  std::unique_ptr<PwPlayer> alertPlayer;
  PwLinks alertLinks;
  uint64_t alertGeneration = 0;

  template <class Object>
  bool stale(const Object& object) const {
    return lost || object.generation != generation;
  }

  // ---- Notifications ----------------------------------------------------

  void notify(AudioObjectID object, uint32_t selector) {
    for (const auto& r : registrations) {
      if (r.object != object || r.address.selector != selector) continue;
      auto alive = r.alive;
      auto block = r.block;
      const PropertyAddress address = r.address;
      r.queue->post([alive, block, object, address] {
        if (alive->load()) (*block)(object, {address});
      });
    }
  }

  // Starts or stops one IO procedure of an aggregate. Sinks run whenever the
  // graph runs them: for a sink only the device-wide call (no procedure) has
  // something to answer, and there is nothing to do. Loop lock held.
  HALStatus setRunning(AudioObjectID id, IOProcID proc, bool run) {
    const auto it = aggregates.find(id);
    if (it == aggregates.end()) {
      return device(id) != nullptr && proc == kNoIOProc ? kStatusOK : kStatusBadObject;
    }
    Aggregate& a = *it->second;
    if (proc == kNoIOProc) return kStatusOK;
    if (proc != a.proc) return kStatusBadObject;
    if (run) {
      a.filter->start();
    } else {
      a.filter->stop();
    }
    updateProfiling();
    notify(id, kPropIsRunningSomewhere);
    return kStatusOK;
  }

  // ---- Devices ----------------------------------------------------------

  const Device* device(AudioObjectID id) const {
    const auto it = deviceNodes.find(id);
    if (it == deviceNodes.end()) return nullptr;
    return &devices.at(it->second);
  }

  const Device* deviceByUID(const std::string& uid) const {
    for (const auto& [node, d] : devices) {
      if (d.facts.uid == uid) return &d;
    }
    return nullptr;
  }

  void assignStreams(Device& d) {
    for (AudioObjectID s : d.streams)
      streamDevices.erase(s);
    d.streams.clear();
    for (size_t i = 0; i < d.facts.outputStreams.size() + d.facts.inputStreams.size(); ++i) {
      d.streams.push_back(nextId++);
      streamDevices[d.streams.back()] = d.id;
    }
  }

  // Brings the device table in line with the graph and tells listeners what
  // changed.
  void syncDevices() {
    std::map<uint32_t, SinkFacts> now;
    if (!lost) {
      const GraphClock clock = pipewire::graphClock(*graph);
      for (const auto& node : graph->sinks()) {
        SinkFacts facts = pipewire::describeSink(node, clock);
        if (!facts.ours) now.emplace(node.id, std::move(facts));
      }
      for (const auto& node : graph->sources()) {
        SinkFacts facts = pipewire::describeSource(node, clock);
        if (!facts.ours) now.emplace(node.id, std::move(facts));
      }
    }
    bool listChanged = false;
    for (auto it = devices.begin(); it != devices.end();) {
      if (now.count(it->first) != 0) {
        ++it;
        continue;
      }
      const AudioObjectID id = it->second.id;
      for (AudioObjectID s : it->second.streams)
        streamDevices.erase(s);
      deviceNodes.erase(id);
      it = devices.erase(it);
      notify(id, kPropDeviceIsAlive);
      listChanged = true;
    }
    for (auto& [node, facts] : now) {
      auto it = devices.find(node);
      if (it == devices.end()) {
        Device d;
        d.id = nextId++;
        d.facts = facts;
        assignStreams(d);
        deviceNodes[d.id] = node;
        devices.emplace(node, std::move(d));
        listChanged = true;
        continue;
      }
      Device& d = it->second;
      const SinkFacts before = d.facts;
      d.facts = facts;
      if (before.outputStreams.size() != facts.outputStreams.size() ||
          before.inputStreams.size() != facts.inputStreams.size()) {
        assignStreams(d);
      }
      if (before.nominalRate != facts.nominalRate) notify(d.id, kPropNominalSampleRate);
      if (before.alive != facts.alive) notify(d.id, kPropDeviceIsAlive);
      if (before.running != facts.running) notify(d.id, kPropIsRunningSomewhere);
      if (before.outputStreams != facts.outputStreams ||
          before.inputStreams != facts.inputStreams) {
        notify(d.id, kPropStreamConfiguration);
      }
    }
    if (listChanged) notify(kSystemObject, kPropDevices);
    const AudioObjectID def = computeDefault();
    if (def != defaultDevice) {
      defaultDevice = def;
      notify(kSystemObject, kPropDefaultOutputDevice);
    }
  }

  // The node name of the default output: default.audio.sink, or when that
  // names no present sink, the sink a session manager would pick (highest
  // priority.session, then priority.driver, then the oldest). Without any
  // session manager nobody writes the key, yet the system has a default.
  std::string defaultSinkName() const {
    const std::string named = graph->defaultSinkName();
    if (!named.empty() && graph->nodeByName(named)) return named;
    return bestOtherSink();
  }

  // The sink a session manager would pick among those not of ours (nor
  // named as ours: another instance's sink); empty when there is none.
  std::string bestOtherSink() const {
    std::string best;
    std::pair<int64_t, int64_t> bestPriority{INT64_MIN, INT64_MIN};
    for (const auto& node : graph->sinks()) {
      if (node.prop(pipewire::kOwnedNodeProperty) == "true") continue;
      if (node.name() == kVirtualSinkName) continue;
      const std::pair<int64_t, int64_t> priority{
          pipewire::parseInteger(node.prop("priority.session")).value_or(0),
          pipewire::parseInteger(node.prop("priority.driver")).value_or(0)};
      if (best.empty() || priority > bestPriority) {
        best = node.name();
        bestPriority = priority;
      }
    }
    return best;
  }

  // The default output as the user chose it: while our muted tap holds the
  // default, the device it held before.
  AudioObjectID computeDefault() const {
    if (lost) return kUnknownObject;
    std::string name = graph->defaultSinkName();
    for (const auto& [id, tap] : taps) {
      if (tap->muted && tap->saved && !stale(*tap) && name == kVirtualSinkName) {
        name = pipewire::parseMetadataName(tap->saved->current.value_or(""));
      }
    }
    if (name.empty() || deviceByUID(name) == nullptr) name = defaultSinkName();
    const Device* d = deviceByUID(name);
    return d != nullptr ? d->id : kUnknownObject;
  }

  std::vector<AudioObjectID> deviceList() const {
    std::vector<AudioObjectID> ids;
    if (lost) return ids;
    for (const auto& [node, d] : devices)
      ids.push_back(d.id);
    for (const auto& [id, a] : aggregates) {
      if (!stale(*a)) ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  // ---- Aggregates ---------------------------------------------------------

  std::optional<uint32_t> captureSource(const Aggregate& a) const {
    const auto it = taps.find(a.tap);
    if (it == taps.end()) return std::nullopt;
    const Tap& tap = *it->second;
    if (tap.sink) {
      const uint32_t node = tap.sink->nodeId();
      return node != 0 ? std::optional<uint32_t>(node) : std::nullopt;
    }
    if (auto node = graph->nodeByName(tap.sourceName)) return node->id;
    return std::nullopt;
  }

  // Creates the links an aggregate still lacks, where both ends exist.
  void linkAggregate(Aggregate& a) {
    if (stale(a) || a.filter == nullptr) return;
    const uint32_t self = a.filter->filter().nodeId();
    if (self == 0) return;
    const auto ours = graph->ports(self);
    bool created = false;
    for (auto& sub : a.subs) {
      if (sub.group < 0 || !sub.links.empty()) continue;
      const auto node = graph->nodeByName(sub.uid);
      if (!node) continue;
      const auto outputs = pipewire::outputPorts(
          ours, PwAggregate::outputPortName(static_cast<size_t>(sub.group), ""));
      const auto inputs = pipewire::playbackPorts(graph->ports(node->id));
      if (outputs.size() != sub.positions.size() || inputs.empty()) continue;
      sub.links = pipewire::linkPairs(*loop, pipewire::pairPorts(outputs, inputs));
      for (auto& link : sub.links)
        link->setStateHandler([this, &a] { updateJoins(a); });
      created = true;
    }
    if (a.captureLinks.empty() && a.tap != 0) {
      if (const auto source = captureSource(a)) {
        const auto inputs = pipewire::inputPorts(ours, "capture_");
        const auto monitors = pipewire::monitorPorts(graph->ports(*source));
        if (inputs.size() == kTapChannels && !monitors.empty()) {
          a.captureLinks = pipewire::linkPairs(*loop, pipewire::pairPorts(monitors, inputs));
        }
      }
    }
    if (created) updateJoins(a);
  }

  // A sub-device has joined while all its links are active. Runs inside link
  // callbacks too, so it never destroys a link (see reap).
  void updateJoins(Aggregate& a) {
    bool changed = false;
    std::vector<bool> presented(a.filter->spec().subDevices.size(), false);
    for (auto& sub : a.subs) {
      const bool joined = !sub.links.empty() && pipewire::allActive(sub.links);
      if (joined != sub.joined) {
        sub.joined = joined;
        changed = true;
      }
      if (sub.group >= 0) presented[static_cast<size_t>(sub.group)] = joined;
    }
    if (changed) {
      a.filter->present(presented, a.inputUsage);
      notify(a.id, kPropActiveSubDevices);
    }
  }

  // Drops links that failed (their sink or our capture source went away) and
  // links anew what can be linked: a sink that comes back joins again. Never
  // called from a link's own callback.
  void reap(Aggregate& a) {
    if (stale(a)) return;
    for (auto& sub : a.subs) {
      if (!sub.links.empty() && pipewire::anyFailed(sub.links)) sub.links.clear();
    }
    if (!a.captureLinks.empty() && pipewire::anyFailed(a.captureLinks)) a.captureLinks.clear();
    updateJoins(a);
    linkAggregate(a);
  }

  std::vector<AudioObjectID> joinedDevices(const Aggregate& a) const {
    std::vector<AudioObjectID> ids;
    for (const auto& sub : a.subs) {
      if (!sub.joined) continue;
      if (const Device* d = deviceByUID(sub.uid)) ids.push_back(d->id);
    }
    return ids;
  }

  double graphRate() const { return pipewire::graphClock(*graph).rate; }

  // ---- Events -------------------------------------------------------------

  void onGraphEvent(const PwGraphEvent& event) {
    switch (event.kind) {
      case PwGraphEvent::Kind::nodeAdded:
      case PwGraphEvent::Kind::nodeChanged:
      case PwGraphEvent::Kind::nodeRemoved:
        syncDevices();
        for (auto& [id, a] : aggregates)
          reap(*a);
        if (inputs) inputs->update();
        break;
      case PwGraphEvent::Kind::portsChanged:
        for (auto& [id, a] : aggregates)
          reap(*a);
        if (inputs) inputs->update();
        break;
      case PwGraphEvent::Kind::metadataChanged:
        followUserDefault();
        syncDevices();
        break;
      case PwGraphEvent::Kind::linksChanged:
        break;
      case PwGraphEvent::Kind::xrun:
        onXrun(event.id);
        break;
      case PwGraphEvent::Kind::connectionLost:
        if (lost) break;
        lost = true;
        // The device table empties below, which tells each device's
        // listeners; aggregates stay (the engine destroys them) but die.
        for (auto& [id, a] : aggregates)
          notify(id, kPropDeviceIsAlive);
        syncDevices();
        notify(kSystemObject, kPropServiceIsAlive);
        {
          std::lock_guard wake(reconnectMutex);
          lossPending = true;
        }
        reconnectWake.notify_one();
        break;
    }
  }

  // ---- Reconnecting ---------------------------------------------------------

  // The reconnecting thread: idle until a loss, then asks every half second
  // until a daemon answers on the same remote. Each attempt holds the loop
  // lock only between its waits (a wait must hold it exactly once).
  void reconnectLoop() {
    std::unique_lock wait(reconnectMutex);
    while (true) {
      reconnectWake.wait(wait, [&] { return stopping || lossPending; });
      if (stopping) return;
      lossPending = false;
      while (true) {
        // First a pause: a daemon on its way out may still accept a
        // connection, and would then leave it unanswered.
        if (reconnectWake.wait_for(wait, kReconnectPeriod, [&] { return stopping; })) return;
        wait.unlock();
        const bool back = tryReconnect();
        wait.lock();
        if (back) break;
      }
    }
  }

  // Lock not held, not on the loop thread. True when connected (again).
  bool tryReconnect() {
    std::unique_ptr<PwGraph> fresh;
    {
      PwLock lock(*loop);
      if (!lost) return true;
      if (!loop->reconnect()) return false;
      try {
        fresh = std::make_unique<PwGraph>(*loop);
      } catch (const pipewire::PwError&) {
        loop->abandon("the PipeWire daemon refused its registry");
        return false;
      }
    }
    // Until it settles, callers see the old graph, still lost.
    const bool settled = fresh->settle(options.timeoutSeconds);
    PwLock lock(*loop);
    if (!settled || !loop->connected()) {
      fresh.reset();
      if (loop->connected()) loop->abandon("the PipeWire daemon did not answer in time");
      return false;
    }
    graph->unsubscribe(graphToken);
    // The old model's proxies belong to the retired connection, still open.
    retiredGraphs.push_back(std::move(graph));
    graph = std::move(fresh);
    retiredInputs.push_back(std::move(inputs));
    inputs = std::make_unique<pipewire::PwInputCaptures>(*loop, *graph, options.timeoutSeconds);
    ++generation;
    lost = false;
    graphToken = graph->subscribe([this](const PwGraphEvent& e) { onGraphEvent(e); });
    // The new daemon has none of our nodes: the journal is read as at start,
    // and no tap of ours stands for the default any more.
    restoreFromJournal();
    syncDevices();
    notify(kSystemObject, kPropDevices);
    notify(kSystemObject, kPropDefaultOutputDevice);
    notify(kSystemObject, kPropServiceIsAlive);
    return true;
  }

  // The retired connection closes once nothing of ours is made on it.
  void releaseRetiredConnections() {
    if (loop->retiredCount() == 0 || lost) return;
    for (const auto& [id, t] : taps) {
      if (stale(*t)) return;
    }
    for (const auto& [id, a] : aggregates) {
      if (stale(*a)) return;
    }
    std::unique_lock alert(alertMutex, std::try_to_lock);
    if (!alert.owns_lock()) return;
    if (alertPlayer && alertGeneration != generation) {
      alertLinks.clear();
      alertPlayer.reset();
    }
    retiredInputs.clear();
    retiredGraphs.clear();
    loop->releaseRetired();
  }

  // A safety net beside the graph events: links that failed are dropped and
  // made anew where possible.
  static void onMaintenanceTimer(void* data, uint64_t /*expirations*/) {
    auto* self = static_cast<Impl*>(data);
    for (auto& [id, a] : self->aggregates)
      self->reap(*a);
    if (self->inputs) self->inputs->update();
    self->releaseRetiredConnections();
  }

  // The graph's missed cycles reach an aggregate's "over" listeners when its
  // own node, or the driver it follows, missed a cycle while its IO runs.
  void onXrun(uint32_t node) {
    for (auto& [id, a] : aggregates) {
      if (!a->filter || !a->filter->running()) continue;
      const PwDspFilter& f = a->filter->filter();
      if (node == f.nodeId() || node == f.lastDriverId()) notify(id, kPropProcessorOverload);
    }
  }

  // The profiler costs the daemon work per cycle: on only while IO runs.
  void updateProfiling() {
    bool anyRunning = false;
    for (const auto& [id, a] : aggregates)
      anyRunning = anyRunning || (!stale(*a) && a->filter && a->filter->running());
    graph->setProfiling(anyRunning);
  }

  // ---- The default-output journal ----------------------------------------

  // A user who picks another output while our muted tap holds the default
  // has chosen anew: that choice, not the one before the tap, is what the
  // tap's end leaves alone and what a crash or a daemon's return puts back.
  // While either key names our sink (our own switch or restore under way,
  // or the default simply ours) there is nothing to follow.
  void followUserDefault() {
    const SavedDefaultOutput now = pipewire::saveDefaultOutput(*graph);
    if (!now.current || pipewire::defaultOutputNames(now, kVirtualSinkName)) return;
    for (auto& [id, tap] : taps) {
      if (!tap->muted || !tap->saved || stale(*tap) || *tap->saved == now) continue;
      tap->saved = now;
      writeJournal(now);
    }
  }

  void writeJournal(const SavedDefaultOutput& saved) const {
    if (options.defaultJournalPath.empty()) return;
    nlohmann::json j = {{"current", nullptr}, {"configured", nullptr}};
    if (saved.current) j["current"] = *saved.current;
    if (saved.configured) j["configured"] = *saved.configured;
    const std::filesystem::path path(options.defaultJournalPath);
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    const std::filesystem::path temp = path.string() + ".tmp";
    {
      std::ofstream out(temp, std::ios::trunc);
      out << j.dump();
    }
    std::filesystem::rename(temp, path, ignored);
  }

  void removeJournal() const {
    if (options.defaultJournalPath.empty()) return;
    std::error_code ignored;
    std::filesystem::remove(options.defaultJournalPath, ignored);
  }

  // After a crash our virtual sink is gone but the default may still name
  // it: put back what the journal kept, unless the user chose anew since. A
  // default that names nothing counts as ours too: a daemon started again
  // since (or after our run) has forgotten the user's choice, which the
  // journal still has.
  //
  // Without a journal (or with one that names our sink) a default that names
  // our sink while no such sink exists points at the best remaining sink: a
  // run without a journal died there, and nobody else hears anything until
  // the default is a real sink again. A sink of that name that is present
  // belongs to another running instance and is left alone.
  void restoreFromJournal() {
    const std::string current = graph->defaultSinkName();
    const std::string configured = graph->configuredDefaultSinkName();
    const bool stillOurs = current == kVirtualSinkName || configured == kVirtualSinkName;
    std::optional<SavedDefaultOutput> saved;
    if (!options.defaultJournalPath.empty()) {
      std::ifstream in(options.defaultJournalPath);
      if (in) {
        std::stringstream text;
        text << in.rdbuf();
        const auto j = nlohmann::json::parse(text.str(), nullptr, false);
        if (j.is_object()) {
          saved.emplace();
          if (j.contains("current") && j["current"].is_string()) saved->current = j["current"];
          if (j.contains("configured") && j["configured"].is_string()) {
            saved->configured = j["configured"];
          }
        }
        removeJournal();
      }
    }
    if (graph->nodeByName(kVirtualSinkName)) return;
    const bool forgotten = current.empty() && configured.empty() && saved;
    if (!stillOurs && !forgotten) return;
    if (!saved) saved = pipewire::saveDefaultOutput(*graph);
    const SavedDefaultOutput put =
        pipewire::replacingSink(*saved, kVirtualSinkName, bestOtherSink());
    if (pipewire::restoreDefaultOutput(*graph, put)) {
      loop->waitUntil([&] { return pipewire::defaultOutputIs(*graph, put); },
                      options.timeoutSeconds);
    }
  }

  void destroyTap(Tap& tap) {
    if (stale(tap)) {
      // Its daemon is gone and took our sink with it; the journal stays for
      // the daemon that comes back (or the next start) to read.
      tap.sink.reset();
      return;
    }
    if (tap.saved) {
      // Only when the default still names our sink: a choice the user made
      // meanwhile stands.
      const bool stillOurs = graph->defaultSinkName() == kVirtualSinkName ||
                             graph->configuredDefaultSinkName() == kVirtualSinkName;
      if (stillOurs && !lost && pipewire::restoreDefaultOutput(*graph, *tap.saved)) {
        // Put back when this returns (the daemon's echo), as it was taken.
        loop->waitUntil([&] { return pipewire::defaultOutputIs(*graph, *tap.saved); },
                        options.timeoutSeconds);
      }
      removeJournal();
    }
    const uint32_t node = tap.sink ? tap.sink->nodeId() : 0;
    tap.sink.reset();
    // Gone from the graph when this returns, as the default was put back: a
    // rebuild creates the next muted tap at once, and its sink takes the same
    // name, which the graph must no longer hold.
    if (node != 0 && !lost) {
      loop->waitUntil([&] { return !graph->node(node) || !loop->connected(); },
                      options.timeoutSeconds);
    }
  }

  void destroyAggregate(Aggregate& a) {
    if (a.filter) a.filter->stop();
    a.captureLinks.clear();
    for (auto& sub : a.subs)
      sub.links.clear();
    a.filter.reset();
  }

  // ---- Reads --------------------------------------------------------------

  HALStatus read(AudioObjectID object, const PropertyAddress& a, uint32_t qualifierSize,
                 const void* qualifier, Value& out) const {
    const uint32_t sel = a.selector;
    if (object == kSystemObject) {
      if (sel == kPropDevices) return put(out, array(deviceList()));
      if (sel == kPropDefaultOutputDevice) return put(out, scalar(defaultDevice));
      if (sel == kPropServiceIsAlive) return put(out, scalar<uint32_t>(lost ? 0 : 1));
      if (sel == kPropProcessObjectForPID) {
        if (qualifier == nullptr || qualifierSize != sizeof(int32_t)) return kStatusBadPropertySize;
        int32_t pid = 0;
        std::memcpy(&pid, qualifier, sizeof pid);
        const AudioObjectID id = pid == static_cast<int32_t>(::getpid()) ? kOwnProcessObject : 0;
        return put(out, scalar(id));
      }
      return kStatusUnknownProperty;
    }
    if (const Device* d = device(object)) return readDevice(*d, a, out);
    if (const auto s = streamDevices.find(object); s != streamDevices.end()) {
      if (sel != kPropLatency) return kStatusUnknownProperty;
      return put(out, scalar(device(s->second)->facts.streamLatencyFrames));
    }
    if (const auto t = taps.find(object); t != taps.end()) {
      if (sel == kPropTapUID) return put(out, string(t->second->uid));
      if (sel == kPropTapFormat) {
        return put(out, scalar(StreamFormat::float32(graphRate(), kTapChannels)));
      }
      return kStatusUnknownProperty;
    }
    if (const auto g = aggregates.find(object); g != aggregates.end()) {
      return readAggregate(*g->second, a, out);
    }
    return kStatusBadObject;
  }

  HALStatus readDevice(const Device& d, const PropertyAddress& a, Value& out) const {
    const SinkFacts& f = d.facts;
    switch (a.selector) {
      case kPropDeviceUID:
        return put(out, string(f.uid));
      case kPropName:
        return put(out, string(f.name));
      case kPropTransportType:
        return put(out, scalar(f.transport));
      case kPropNominalSampleRate:
        return put(out, scalar(f.nominalRate));
      case kPropAvailableNominalSampleRates: {
        std::vector<ValueRange> ranges;
        for (const auto& r : f.availableRates)
          ranges.push_back({r.min, r.max});
        return put(out, array(ranges));
      }
      case kPropStreamConfiguration:
        if (isOutput(a)) return put(out, streamConfiguration(f.outputStreams));
        if (isInput(a)) return put(out, streamConfiguration(f.inputStreams));
        return kStatusUnknownProperty;
      case kPropPreferredStereoChannels:
        if (!isOutput(a) || f.source) return kStatusUnknownProperty;
        return put(out, scalar(std::array<uint32_t, 2>{f.stereoLeft, f.stereoRight}));
      case kPropLatency:
        return isOwnScope(f, a) ? put(out, scalar(f.latencyFrames)) : kStatusUnknownProperty;
      case kPropSafetyOffset:
        return isOwnScope(f, a) ? put(out, scalar(f.safetyOffsetFrames)) : kStatusUnknownProperty;
      case kPropBufferFrameSize:
        return isOwnScope(f, a) ? put(out, scalar(f.bufferFrames)) : kStatusUnknownProperty;
      case kPropStreams:
        if (isOutput(a) || isInput(a)) {
          return put(out, array(isOwnScope(f, a) ? d.streams : std::vector<AudioObjectID>{}));
        }
        return kStatusUnknownProperty;
      case kPropDeviceIsAlive:
        return put(out, scalar<uint32_t>(f.alive && !lost ? 1 : 0));
      case kPropIsHidden:
        return put(out, scalar<uint32_t>(f.hidden ? 1 : 0));
      case kPropIsRunningSomewhere:
        return put(out, scalar<uint32_t>(f.running ? 1 : 0));
      default:
        return kStatusUnknownProperty;
    }
  }

  HALStatus readAggregate(const Aggregate& g, const PropertyAddress& a, Value& out) const {
    switch (a.selector) {
      case kPropDeviceUID:
        return put(out, string(g.uid));
      case kPropName:
        return put(out, string(g.name));
      case kPropTransportType:
        return put(out, scalar(kTransportAggregate));
      case kPropNominalSampleRate:
        return put(out, scalar(graphRate()));
      case kPropAvailableNominalSampleRates:
        return put(out, array(std::vector<ValueRange>{{graphRate(), graphRate()}}));
      case kPropActiveSubDevices:
        return put(out, array(joinedDevices(g)));
      case kPropStreamConfiguration:
        if (isOutput(a)) return put(out, streamConfiguration(g.filter->outputStreams()));
        if (isInput(a)) return put(out, streamConfiguration(g.filter->inputStreams()));
        return kStatusUnknownProperty;
      case kPropIOProcStreamUsage: {
        if (!isInput(a)) return kStatusUnknownProperty;
        std::vector<std::uint32_t> flags;
        for (bool on : g.inputUsage)
          flags.push_back(on ? 1 : 0);
        Value v;
        v.fixed = false;
        v.bytes = encodeStreamUsage(g.proc, flags);
        return put(out, std::move(v));
      }
      case kPropDeviceIsAlive:
        return put(out, scalar<uint32_t>(stale(g) ? 0 : 1));
      case kPropIsHidden:
        return put(out, scalar<uint32_t>(0));
      case kPropIsRunningSomewhere:
        return put(out, scalar<uint32_t>(g.filter->running() ? 1 : 0));
      default:
        return kStatusUnknownProperty;
    }
  }

  bool exists(AudioObjectID object) const {
    return object == kSystemObject || device(object) != nullptr ||
           streamDevices.count(object) != 0 || taps.count(object) != 0 ||
           aggregates.count(object) != 0;
  }
};

// ---- Construction -----------------------------------------------------------

PipeWireAudioSystem::PipeWireAudioSystem(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  PwThreadLoop::Options loopOptions;
  loopOptions.remoteName = impl_->options.remoteName;
  loopOptions.clientName = impl_->options.clientName;
  impl_->loop = std::make_unique<PwThreadLoop>(loopOptions);
  impl_->graph = std::make_unique<PwGraph>(*impl_->loop);
  if (!impl_->graph->settle(impl_->options.timeoutSeconds)) {
    impl_->graph.reset();
    impl_->loop.reset();
    throw pipewire::PwError("the PipeWire daemon did not answer in time", -ETIMEDOUT);
  }
  PwLock lock(*impl_->loop);
  impl_->inputs = std::make_unique<pipewire::PwInputCaptures>(*impl_->loop, *impl_->graph,
                                                              impl_->options.timeoutSeconds);
  impl_->restoreFromJournal();
  impl_->syncDevices();
  impl_->graphToken = impl_->graph->subscribe(
      [impl = impl_.get()](const PwGraphEvent& e) { impl->onGraphEvent(e); });
  pw_loop* pwLoop = pw_thread_loop_get_loop(impl_->loop->threadLoop());
  impl_->maintenanceTimer = pw_loop_add_timer(pwLoop, &Impl::onMaintenanceTimer, impl_.get());
  timespec period{0, static_cast<long>(kMaintenanceSeconds * 1e9)};
  pw_loop_update_timer(pwLoop, impl_->maintenanceTimer, &period, &period, false);
  impl_->reconnector = std::thread([impl = impl_.get()] { impl->reconnectLoop(); });
}

PipeWireAudioSystem::~PipeWireAudioSystem() {
  {
    std::lock_guard wake(impl_->reconnectMutex);
    impl_->stopping = true;
  }
  impl_->reconnectWake.notify_one();
  impl_->reconnector.join();
  {
    std::lock_guard alert(impl_->alertMutex);
    impl_->alertLinks.clear();
    impl_->alertPlayer.reset();
  }
  {
    PwLock lock(*impl_->loop);
    pw_loop_destroy_source(pw_thread_loop_get_loop(impl_->loop->threadLoop()),
                           impl_->maintenanceTimer);
    impl_->graph->unsubscribe(impl_->graphToken);
    impl_->inputs.reset();
    impl_->retiredInputs.clear();
    for (auto& [id, a] : impl_->aggregates)
      impl_->destroyAggregate(*a);
    impl_->aggregates.clear();
    for (auto& [id, t] : impl_->taps)
      impl_->destroyTap(*t);
    impl_->taps.clear();
    for (auto& r : impl_->registrations)
      r.alive->store(false);
    impl_->registrations.clear();
  }
  impl_->graph.reset();
  impl_->retiredGraphs.clear();
  impl_->loop.reset();
}

pipewire::PwThreadLoop& PipeWireAudioSystem::loop() {
  return *impl_->loop;
}
pipewire::PwGraph& PipeWireAudioSystem::graph() {
  return *impl_->graph;
}

AudioObjectID PipeWireAudioSystem::deviceForUID(const std::string& uid) const {
  PwLock lock(*impl_->loop);
  const auto* d = impl_->deviceByUID(uid);
  return d != nullptr ? d->id : kUnknownObject;
}

// ---- Properties -----------------------------------------------------------------

HALStatus PipeWireAudioSystem::getPropertyDataSize(AudioObjectID object,
                                                   const PropertyAddress& address,
                                                   std::uint32_t qualifierSize,
                                                   const void* qualifier, std::uint32_t& outSize) {
  PwLock lock(*impl_->loop);
  Value value;
  const HALStatus status = impl_->read(object, address, qualifierSize, qualifier, value);
  if (status == kStatusOK) outSize = static_cast<std::uint32_t>(value.size());
  return status;
}

HALStatus PipeWireAudioSystem::getPropertyData(AudioObjectID object, const PropertyAddress& address,
                                               std::uint32_t qualifierSize, const void* qualifier,
                                               std::uint32_t& ioSize, void* outData) {
  PwLock lock(*impl_->loop);
  Value value;
  const HALStatus status = impl_->read(object, address, qualifierSize, qualifier, value);
  if (status != kStatusOK) return status;
  if (outData == nullptr) return kStatusBadPropertySize;
  if (address.selector == kPropIOProcStreamUsage) {
    // The caller names the procedure in the record it hands in, as the
    // platform's stream-usage read has it.
    IOProcID asked = kNoIOProc;
    if (ioSize < kStreamUsageHeaderBytes) return kStatusBadPropertySize;
    std::memcpy(&asked, outData, sizeof asked);
    IOProcID registered = kNoIOProc;
    std::memcpy(&registered, value.bytes.data(), sizeof registered);
    if (asked == kNoIOProc || asked != registered) return kStatusBadObject;
  }
  if (value.isString) {
    if (ioSize != kStringRefSize) return kStatusBadPropertySize;
    writeStringRef(outData, value.text);
    return kStatusOK;
  }
  if (value.fixed) {
    if (ioSize != value.bytes.size()) return kStatusBadPropertySize;
    std::memcpy(outData, value.bytes.data(), value.bytes.size());
    return kStatusOK;
  }
  std::size_t n = std::min<std::size_t>(ioSize, value.bytes.size());
  n -= n % value.element;
  if (n > 0) std::memcpy(outData, value.bytes.data(), n);
  ioSize = static_cast<std::uint32_t>(n);
  return kStatusOK;
}

HALStatus PipeWireAudioSystem::setPropertyData(AudioObjectID object, const PropertyAddress& address,
                                               std::uint32_t size, const void* data) {
  PwLock lock(*impl_->loop);
  Impl& s = *impl_;
  if (s.lost) return kStatusBadDevice;
  const auto* d = s.device(object);
  const auto g = s.aggregates.find(object);
  if (g != s.aggregates.end() && s.stale(*g->second)) return kStatusBadDevice;
  if (d == nullptr && g == s.aggregates.end()) {
    return s.exists(object) ? kStatusUnknownProperty : kStatusBadObject;
  }
  if (address.selector == kPropNominalSampleRate) {
    if (size != sizeof(double) || data == nullptr) return kStatusBadPropertySize;
    double rate = 0;
    std::memcpy(&rate, data, sizeof rate);
    const double current = d != nullptr ? d->facts.nominalRate : s.graphRate();
    // A client cannot give one device a rate of its own: the graph has one
    // clock and every sink's adapter resamples to it. Asking for the rate the
    // device has is fine; anything else is refused so the engine relies on
    // that resampling.
    return std::fabs(rate - current) <= kRateTolerance ? kStatusOK : kStatusUnsupportedOperation;
  }
  if (address.selector == kPropIOProcStreamUsage && g != s.aggregates.end() && isInput(address)) {
    const auto usage = decodeStreamUsage(data, size);
    if (!usage) return kStatusBadPropertySize;
    Impl::Aggregate& a = *g->second;
    if (a.proc == kNoIOProc || usage->proc != a.proc) return kStatusBadObject;
    for (size_t i = 0; i < usage->flags.size() && i < a.inputUsage.size(); ++i)
      a.inputUsage[i] = usage->flags[i] != 0;
    a.filter->present(a.filter->presentedSubDevices(), a.inputUsage);
    return kStatusOK;
  }
  return kStatusUnknownProperty;
}

// ---- Listeners --------------------------------------------------------------------

HALStatus PipeWireAudioSystem::addPropertyListener(AudioObjectID object,
                                                   const PropertyAddress& address, Executor& queue,
                                                   PropertyListenerBlock block) {
  PwLock lock(*impl_->loop);
  Impl& s = *impl_;
  if (!block) return kStatusIllegalOperation;
  if (!s.exists(object)) return kStatusBadObject;
  for (const auto& r : s.registrations) {
    if (r.object == object && r.address == address && r.queue == &queue && r.block == block) {
      return kStatusIllegalOperation;
    }
  }
  s.registrations.push_back(
      {object, address, &queue, std::move(block), std::make_shared<std::atomic<bool>>(true)});
  return kStatusOK;
}

HALStatus PipeWireAudioSystem::removePropertyListener(AudioObjectID object,
                                                      const PropertyAddress& address,
                                                      Executor& queue,
                                                      const PropertyListenerBlock& block) {
  PwLock lock(*impl_->loop);
  auto& regs = impl_->registrations;
  const auto it = std::find_if(regs.begin(), regs.end(), [&](const Impl::Registration& r) {
    return r.object == object && r.address == address && r.queue == &queue && r.block == block;
  });
  if (it == regs.end()) return kStatusIllegalOperation;
  it->alive->store(false);
  regs.erase(it);
  return kStatusOK;
}

// ---- Process taps -------------------------------------------------------------------

HALStatus PipeWireAudioSystem::createProcessTap(const TapDescription& description,
                                                AudioObjectID& outTap) {
  PwLock lock(*impl_->loop);
  Impl& s = *impl_;
  if (s.lost) return kStatusBadDevice;
  if (description.mono) return kStatusUnsupportedFormat;
  // PipeWire mixes per sink, not per process: "every process but ours" is
  // what the tap can give; naming processes to tap is not.
  const bool everyoneButUs = description.exclusive &&
                             std::all_of(description.processes.begin(), description.processes.end(),
                                         [](AudioObjectID p) { return p == kOwnProcessObject; });
  if (!everyoneButUs) return kStatusUnsupportedOperation;

  auto tap = std::make_unique<Impl::Tap>();
  tap->uid = description.uuid;
  tap->generation = s.generation;
  tap->muted = description.muteBehavior != TapMuteBehavior::unmuted;
  if (tap->muted) {
    if (s.graph->nodeByName(kVirtualSinkName)) return kStatusIllegalOperation;  // one at a time
    PwVirtualSink::Spec spec;
    spec.name = kVirtualSinkName;
    spec.description = description.name.empty() ? kVirtualSinkName : description.name;
    try {
      tap->sink = std::make_unique<PwVirtualSink>(*s.loop, spec);
    } catch (const pipewire::PwError&) {
      return kStatusUnspecified;
    }
    // Our sink must be in the graph, ports and all, before it can be the
    // default or be captured.
    const bool ready = s.loop->waitUntil(
        [&] {
          if (tap->sink->failed() || !s.loop->connected()) return true;
          const uint32_t node = tap->sink->nodeId();
          if (node == 0) return false;
          const auto n = s.graph->node(node);
          return n && n->hasInfo &&
                 pipewire::monitorPorts(s.graph->ports(node)).size() == kTapChannels;
        },
        s.options.timeoutSeconds);
    if (!ready || tap->sink->failed() || !s.loop->connected()) return kStatusUnspecified;
    tap->sourceName = kVirtualSinkName;
    // Never our own sink as the one to put back (a run that died while it
    // held the default may have left its name behind).
    tap->saved = pipewire::replacingSink(pipewire::saveDefaultOutput(*s.graph), kVirtualSinkName,
                                         s.bestOtherSink());
    s.writeJournal(*tap->saved);
    // Registered before the switch, so that the default output the engine
    // sees stays the one the user chose while our sink holds the default.
    const AudioObjectID id = s.nextId++;
    tap->id = id;
    Impl::Tap& ref = *tap;
    s.taps.emplace(id, std::move(tap));
    // Muted means muted when this returns: wait for the daemon to confirm.
    const bool switched =
        pipewire::setDefaultOutput(*s.graph, kVirtualSinkName) &&
        s.loop->waitUntil([&] { return s.graph->defaultSinkName() == kVirtualSinkName; },
                          s.options.timeoutSeconds);
    if (!switched) {
      pipewire::restoreDefaultOutput(*s.graph, *ref.saved);
      s.removeJournal();
      s.taps.erase(id);
      return kStatusUnspecified;
    }
    s.syncDevices();
    outTap = id;
    return kStatusOK;
  }
  // Mirror: what is routed to the current default output.
  tap->sourceName = s.defaultSinkName();
  if (tap->sourceName.empty()) return kStatusBadDevice;
  tap->id = s.nextId++;
  outTap = tap->id;
  s.taps.emplace(tap->id, std::move(tap));
  return kStatusOK;
}

HALStatus PipeWireAudioSystem::destroyProcessTap(AudioObjectID tapID) {
  PwLock lock(*impl_->loop);
  Impl& s = *impl_;
  const auto it = s.taps.find(tapID);
  if (it == s.taps.end()) return kStatusBadObject;
  s.destroyTap(*it->second);
  s.taps.erase(it);
  s.syncDevices();
  return kStatusOK;
}

// ---- Aggregate devices ----------------------------------------------------------------

HALStatus PipeWireAudioSystem::createAggregateDevice(const AggregateDescription& description,
                                                     AudioObjectID& outDevice) {
  PwLock lock(*impl_->loop);
  Impl& s = *impl_;
  if (s.lost) return kStatusBadDevice;
  if (!description.is_object()) return kStatusIllegalOperation;
  const auto uid = description.value(kAggregateUIDKey, std::string());
  if (uid.empty()) return kStatusIllegalOperation;
  for (const auto& [id, a] : s.aggregates) {
    if (a->uid == uid) return kStatusIllegalOperation;
  }
  auto a = std::make_unique<Impl::Aggregate>();
  a->uid = uid;
  a->name = description.value(kAggregateNameKey, std::string(kVirtualSinkName));

  const auto taps = description.value(kAggregateTapsKey, nlohmann::json::array());
  if (!taps.is_array() || taps.size() > 1) return kStatusUnsupportedOperation;
  if (taps.size() == 1) {
    const auto tapUID = taps[0].value(kSubDeviceUIDKey, std::string());
    for (const auto& [id, t] : s.taps) {
      if (t->uid == tapUID && !s.stale(*t)) a->tap = id;
    }
    if (a->tap == 0) return kStatusBadObject;
  }

  PwAggregateSpec spec;
  spec.nodeName = kAggregateNodeName;
  spec.description = a->name;
  spec.extraProps[pipewire::kOwnedNodeProperty] = "true";
  if (a->tap == 0) spec.captureChannels.clear();
  const auto subs = description.value(kAggregateSubDevicesKey, nlohmann::json::array());
  if (!subs.is_array()) return kStatusIllegalOperation;
  for (const auto& entry : subs) {
    Impl::SubDevice sub;
    sub.uid = entry.value(kSubDeviceUIDKey, std::string());
    // A sub-device that is not present now never joins this aggregate.
    if (const auto* d = s.deviceByUID(sub.uid)) {
      sub.group = static_cast<int>(spec.subDevices.size());
      sub.positions = d->facts.positions;
      spec.subDevices.push_back({sub.uid, sub.positions});
    }
    a->subs.push_back(std::move(sub));
  }
  try {
    a->filter = std::make_unique<PwAggregate>(*s.loop, spec);
  } catch (const pipewire::PwError&) {
    return kStatusUnspecified;
  }
  // Nothing is presented until it joins.
  a->inputUsage.assign(spec.captureChannels.size(), true);
  a->filter->present(std::vector<bool>(spec.subDevices.size(), false), a->inputUsage);
  a->id = s.nextId++;
  a->generation = s.generation;
  outDevice = a->id;
  Impl::Aggregate& ref = *a;
  s.aggregates.emplace(a->id, std::move(a));
  s.linkAggregate(ref);
  s.notify(kSystemObject, kPropDevices);
  return kStatusOK;
}

HALStatus PipeWireAudioSystem::destroyAggregateDevice(AudioObjectID device) {
  PwLock lock(*impl_->loop);
  Impl& s = *impl_;
  const auto it = s.aggregates.find(device);
  if (it == s.aggregates.end()) return kStatusBadObject;
  s.destroyAggregate(*it->second);
  s.aggregates.erase(it);
  s.updateProfiling();
  s.notify(kSystemObject, kPropDevices);
  return kStatusOK;
}

// ---- IO -------------------------------------------------------------------------------------

HALStatus PipeWireAudioSystem::createIOProcID(AudioObjectID device, IOProc proc, void* clientData,
                                              IOProcID& outID) {
  PwLock lock(*impl_->loop);
  Impl& s = *impl_;
  if (const auto* d = s.device(device); d != nullptr && d->facts.source) {
    if (s.lost) return kStatusBadDevice;
    // Copies: the device table may change while the capture node comes up.
    const std::string source = d->facts.uid;
    const std::vector<std::string> positions = d->facts.positions;
    const HALStatus status =
        s.inputs->create(device, source, positions, proc, clientData, s.nextProc);
    if (status == kStatusOK) outID = s.nextProc++;
    return status;
  }
  const auto it = s.aggregates.find(device);
  if (it == s.aggregates.end()) {
    return s.device(device) != nullptr ? kStatusUnsupportedOperation : kStatusBadObject;
  }
  Impl::Aggregate& a = *it->second;
  if (s.stale(a)) return kStatusBadDevice;
  if (proc == nullptr) return kStatusIllegalOperation;
  if (a.proc != kNoIOProc) return kStatusIllegalOperation;  // one procedure per aggregate
  if (!a.filter->setIoProc(proc, clientData, device)) return kStatusIllegalOperation;
  a.proc = s.nextProc++;
  outID = a.proc;
  return kStatusOK;
}

HALStatus PipeWireAudioSystem::destroyIOProcID(AudioObjectID device, IOProcID id) {
  PwLock lock(*impl_->loop);
  Impl& s = *impl_;
  if (s.inputs->has(device)) return s.inputs->destroy(device, id);
  const auto it = s.aggregates.find(device);
  if (it == s.aggregates.end()) return kStatusBadObject;
  Impl::Aggregate& a = *it->second;
  if (id == kNoIOProc || id != a.proc) return kStatusBadObject;
  a.filter->clearIoProc();
  a.proc = kNoIOProc;
  return kStatusOK;
}

HALStatus PipeWireAudioSystem::startDevice(AudioObjectID device, IOProcID id) {
  PwLock lock(*impl_->loop);
  Impl& s = *impl_;
  if (s.lost) return kStatusBadDevice;
  if (s.inputs->has(device)) return s.inputs->setRunning(device, id, true);
  const auto it = s.aggregates.find(device);
  if (it != s.aggregates.end() && s.stale(*it->second)) return kStatusBadDevice;
  return s.setRunning(device, id, true);
}

HALStatus PipeWireAudioSystem::stopDevice(AudioObjectID device, IOProcID id) {
  // From inside the IO procedure (the data thread): no lock may be taken
  // there; the aggregate running the procedure stops after this cycle.
  if (PwAggregate* running = PwAggregate::runningOnThisThread()) {
    if (running->ioDevice() == device && id != kNoIOProc) {
      running->stop();
      return kStatusOK;
    }
  }
  if (impl_->inputs->stopFromProcedure(device, id)) return kStatusOK;
  PwLock lock(*impl_->loop);
  if (impl_->inputs->has(device)) return impl_->inputs->setRunning(device, id, false);
  return impl_->setRunning(device, id, false);
}

bool PipeWireAudioSystem::playAlertSound() {
  Impl& s = *impl_;
  std::lock_guard alert(s.alertMutex);
  s.alertLinks.clear();
  s.alertPlayer.reset();
  std::string target;
  double rate = 0;
  uint64_t generation = 0;
  {
    PwLock lock(*s.loop);
    if (s.lost) return false;
    generation = s.generation;
    target = s.defaultSinkName();
    rate = pipewire::graphClock(*s.graph).rate;
  }
  if (target.empty() || !(rate > 0)) return false;

  std::vector<float> chime(static_cast<size_t>(alertChime::kSeconds * rate));
  for (size_t i = 0; i < chime.size(); ++i)
    chime[i] = alertChime::sample(static_cast<double>(i) / rate);
  auto player = std::make_unique<PwPlayer>(
      *s.loop, "choralink.alert", std::vector<PwDspPort>{{"out_FL", "FL"}, {"out_FR", "FR"}},
      std::vector<std::vector<float>>{chime, chime});
  const double timeout = s.options.timeoutSeconds;
  if (!player->filter().waitForNode(timeout)) return false;
  const uint32_t node = player->filter().nodeId();
  std::vector<PwPort> targetPorts;
  const bool ready = s.graph->waitFor(
      [&] {
        const auto sink = s.graph->nodeByName(target);
        targetPorts =
            sink ? pipewire::playbackPorts(s.graph->ports(sink->id)) : std::vector<PwPort>{};
        return s.graph->ports(node).size() == 2 && !targetPorts.empty();
      },
      timeout);
  if (!ready) return false;
  PwLinks links = pipewire::linkPairs(
      *s.loop, pipewire::pairPorts(pipewire::outputPorts(s.graph->ports(node)), targetPorts));
  if (links.empty() || !pipewire::waitActive(*s.loop, links, timeout)) return false;
  player->start();
  s.alertGeneration = generation;
  s.alertPlayer = std::move(player);
  s.alertLinks = std::move(links);
  return true;
}

bool pipewireDaemonAnswers(const std::string& remoteName) {
  try {
    PwThreadLoop::Options options;
    options.remoteName = remoteName;
    PwThreadLoop loop(options);
    return true;
  } catch (const pipewire::PwError&) {
    return false;
  }
}

}  // namespace choralink
