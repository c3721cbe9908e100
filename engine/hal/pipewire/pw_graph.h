// PwGraph: a live model of one PipeWire daemon's graph, kept from the
// registry: every node (bound, so that its full properties, state and audio
// params are known), every port and link, and the "default" and "settings"
// metadata. It owns the registry proxy, the node and metadata proxies and
// their listeners.
//
// Threads. The model changes only on the loop thread (PwThreadLoop), inside
// PipeWire callbacks. The snapshot getters take the loop lock and may be
// called from any thread; they return copies. Subscribers are called on the
// loop thread with the lock held, after the model has changed: they must be
// quick and must not wait for the daemon (post to an executor instead). After
// every change the loop's condition is signalled, so waitFor() wakes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/hal/pipewire/pw_params.h"
#include "engine/hal/pipewire/pw_runtime.h"

struct pw_node_info;
struct pw_proxy;
struct pw_registry;
struct spa_dict;
struct spa_hook;
struct spa_pod;

namespace choralink::pipewire {

// pw_node_state, in PipeWire's order.
enum class PwNodeState { error, creating, suspended, idle, running };

struct PwNode {
  uint32_t id = 0;
  std::map<std::string, std::string, std::less<>> props;
  PwNodeState state = PwNodeState::creating;
  std::string error;
  // The bound node's info (full properties, state) has arrived.
  bool hasInfo = false;
  std::optional<AudioFormat> format;           // the negotiated Format, when running
  std::vector<AudioFormat> enumFormats;        // EnumFormat: what the node accepts
  std::vector<LatencyValue> latency;           // Latency params, both directions
  std::optional<LatencyValue> processLatency;  // ProcessLatency

  // A property's text; empty when absent.
  std::string prop(std::string_view key) const;
  std::string name() const { return prop("node.name"); }
  std::string description() const { return prop("node.description"); }
  std::string mediaClass() const { return prop("media.class"); }
  bool isAudioSink() const { return mediaClass() == "Audio/Sink"; }
  // Microphones and line inputs, and virtual sources (filters, loopbacks).
  // A sink's monitor is ports of the sink, never a node of this class.
  bool isAudioSource() const {
    return mediaClass() == "Audio/Source" || mediaClass() == "Audio/Source/Virtual";
  }
};

struct PwPort {
  uint32_t id = 0;
  uint32_t nodeId = 0;
  uint32_t index = 0;    // port.id: the port's number on its node, per direction
  std::string name;      // port.name ("playback_FL", "monitor_FL", "out_0_FL")
  std::string channel;   // audio.channel ("FL"), empty when not given
  bool output = false;   // port.direction == "out"
  bool monitor = false;  // port.monitor
};

struct PwLinkRecord {
  uint32_t id = 0;
  uint32_t outputNode = 0;
  uint32_t outputPort = 0;
  uint32_t inputNode = 0;
  uint32_t inputPort = 0;
};

struct PwGraphEvent {
  enum class Kind {
    nodeAdded,        // a node's info arrived for the first time (id)
    nodeChanged,      // properties, state or params of a known node changed (id)
    nodeRemoved,      // (id)
    portsChanged,     // a port appeared or went (id = its node)
    linksChanged,     // a link appeared or went (id = the link)
    metadataChanged,  // a metadata key changed (id = subject, key, metadataName)
    xrun,             // a node missed a cycle's deadline (id = the node: a driver that
                      // reported an xrun, or a follower that had not finished); profiling only
    connectionLost,   // the daemon went away; the model is frozen
  };
  Kind kind;
  uint32_t id = 0;
  std::string key;
  std::string metadataName;
};

class PwGraph {
 public:
  explicit PwGraph(PwThreadLoop& loop);
  ~PwGraph();
  PwGraph(const PwGraph&) = delete;
  PwGraph& operator=(const PwGraph&) = delete;

  PwThreadLoop& loop() const { return loop_; }

  // Not on the loop thread: waits until everything the daemon had announced
  // when this was called is in the model, node infos and audio params
  // included. False on timeout or lost connection.
  bool settle(double timeoutSeconds);

  // Not on the loop thread, lock not held: waits until `done()` (called with
  // the lock held) is true; false on timeout.
  bool waitFor(const std::function<bool()>& done, double timeoutSeconds) const;

  // Snapshots; any thread.
  std::vector<PwNode> nodes() const;
  // Audio/Sink nodes whose info has arrived, in id order.
  std::vector<PwNode> sinks() const;
  // Audio/Source nodes (isAudioSource) whose info has arrived, in id order.
  std::vector<PwNode> sources() const;
  std::optional<PwNode> node(uint32_t id) const;
  std::optional<PwNode> nodeByName(std::string_view name) const;
  // A node's ports in port order (inputs first, then outputs).
  std::vector<PwPort> ports(uint32_t nodeId) const;
  std::vector<PwLinkRecord> links() const;
  bool connected() const;

  // A subject-0 value of the named metadata object; none when unset.
  std::optional<std::string> metadataValue(std::string_view metadataName,
                                           std::string_view key) const;
  bool hasMetadata(std::string_view metadataName) const;
  // The node name that default.audio.sink / default.configured.audio.sink
  // name; empty when unset.
  std::string defaultSinkName() const;
  std::string configuredDefaultSinkName() const;

  // Writes (value) or removes (no value) a subject-0 key of the named
  // metadata object. False when that object is not (yet) in the graph. The
  // change reaches the model when the daemon echoes it.
  bool setMetadata(std::string_view metadataName, std::string_view key,
                   const std::optional<std::string>& value,
                   std::string_view type = "Spa:String:JSON");

  // Profiling: while on, the daemon's profiler (when it has one) reports every
  // driver's cycles, and each missed cycle (a driver's xrun, a follower not
  // finished in time) becomes an xrun event.
  // Costs the daemon some work per cycle, so owners switch it on only while
  // they care. Returns false when the daemon offers no profiler.
  bool setProfiling(bool on);
  // Missed cycles counted for a node since profiling began: a driver's own
  // xrun reports, or the cycles a follower had not finished in time.
  uint32_t xruns(uint32_t nodeId) const;

  // Subscribers; see the header comment for their thread. The token removes
  // the subscription (after unsubscribe returns, the handler is not called).
  using Handler = std::function<void(const PwGraphEvent&)>;
  int subscribe(Handler handler);
  void unsubscribe(int token);

 private:
  struct NodeEntry;
  struct MetadataEntry;

  static void onGlobal(void* data, uint32_t id, uint32_t permissions, const char* type,
                       uint32_t version, const spa_dict* props);
  static void onGlobalRemove(void* data, uint32_t id);
  static void onNodeInfo(void* data, const pw_node_info* info);
  static void onNodeParam(void* data, int seq, uint32_t id, uint32_t index, uint32_t next,
                          const spa_pod* param);
  static void onNodeProxyDone(void* data, int seq);
  static void clearParam(PwNode& node, uint32_t id);
  static void commitParams(NodeEntry& entry);
  static void onProfile(void* data, const spa_pod* pod);
  static int onMetadataProperty(void* data, uint32_t subject, const char* key, const char* type,
                                const char* value);

  void addNode(uint32_t id, const spa_dict* props);
  void addMetadata(uint32_t id, const spa_dict* props);
  void bindProfiler();
  void unbindProfiler();
  void emit(const PwGraphEvent& event);

  PwThreadLoop& loop_;
  pw_registry* registry_ = nullptr;
  spa_hook* registryListener_ = nullptr;
  std::map<uint32_t, std::unique_ptr<NodeEntry>> nodes_;
  std::map<uint32_t, PwPort> ports_;
  std::map<uint32_t, PwLinkRecord> links_;
  std::map<uint32_t, std::unique_ptr<MetadataEntry>> metadata_;
  uint32_t profilerGlobal_ = 0;
  bool profilingWanted_ = false;
  pw_proxy* profiler_ = nullptr;
  spa_hook* profilerListener_ = nullptr;
  std::map<uint32_t, uint32_t> xrunBase_;     // per driver: its count when first seen
  std::map<uint32_t, uint32_t> driverXruns_;  // per driver: counted past the base
  std::map<uint32_t, uint32_t> xruns_;        // per node: missed cycles since profiling began
  int lostToken_ = 0;
  int nextToken_ = 1;
  std::vector<std::pair<int, Handler>> handlers_;
};

}  // namespace choralink::pipewire
