#include "engine/hal/pipewire/pw_graph.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/extensions/profiler.h>
#include <pipewire/pipewire.h>
#include <spa/param/param.h>
#include <spa/param/profiler.h>
#include <spa/pod/iter.h>
#include <spa/pod/parser.h>

#include <algorithm>
#include <cstring>

namespace choralink::pipewire {

namespace {

constexpr std::string_view kDefaultMetadata = "default";
constexpr std::string_view kDefaultSinkKey = "default.audio.sink";
constexpr std::string_view kConfiguredSinkKey = "default.configured.audio.sink";
// One roundtrip brings the globals, a second the infos of the nodes bound on
// their arrival, a third the params those infos asked for.
constexpr int kSettleRoundtrips = 3;
// pw_node_activation's state of a follower that completed its cycle.
constexpr int32_t kFinished = 3;

std::string dictValue(const spa_dict* props, const char* key) {
  const char* value = props != nullptr ? spa_dict_lookup(props, key) : nullptr;
  return value != nullptr ? value : "";
}

bool dictFlag(const spa_dict* props, const char* key) {
  const std::string value = dictValue(props, key);
  return value == "true" || value == "1";
}

uint32_t dictId(const spa_dict* props, const char* key) {
  const auto value = parseInteger(dictValue(props, key));
  return value && *value >= 0 ? static_cast<uint32_t>(*value) : 0;
}

PwNodeState toState(pw_node_state state) {
  switch (state) {
    case PW_NODE_STATE_ERROR:
      return PwNodeState::error;
    case PW_NODE_STATE_CREATING:
      return PwNodeState::creating;
    case PW_NODE_STATE_SUSPENDED:
      return PwNodeState::suspended;
    case PW_NODE_STATE_IDLE:
      return PwNodeState::idle;
    case PW_NODE_STATE_RUNNING:
      return PwNodeState::running;
  }
  return PwNodeState::error;
}

bool wantedParam(uint32_t id) {
  return id == SPA_PARAM_EnumFormat || id == SPA_PARAM_Format || id == SPA_PARAM_Latency ||
         id == SPA_PARAM_ProcessLatency;
}

}  // namespace

std::string PwNode::prop(std::string_view key) const {
  const auto it = props.find(key);
  return it != props.end() ? it->second : std::string();
}

struct PwGraph::NodeEntry {
  PwGraph* graph = nullptr;
  PwNode node;
  pw_proxy* proxy = nullptr;
  spa_hook listener{};
  spa_hook proxyListener{};
  pw_node_info* info = nullptr;
  // Param enumerations in flight: the seq whose answers count, per param id,
  // and what they brought so far. A proxy sync after the enumerations commits
  // them all at once, so a reader never sees a half-read set.
  std::map<uint32_t, int> pendingSeq;
  PwNode staged;
  std::vector<uint32_t> stagedIds;
  int commitSeq = -1;

  ~NodeEntry() {
    spa_hook_remove(&listener);
    spa_hook_remove(&proxyListener);
    if (proxy != nullptr) pw_proxy_destroy(proxy);
    if (info != nullptr) pw_node_info_free(info);
  }
};

struct PwGraph::MetadataEntry {
  PwGraph* graph = nullptr;
  uint32_t id = 0;
  std::string name;
  pw_proxy* proxy = nullptr;
  spa_hook listener{};
  std::map<std::string, std::string, std::less<>> values;  // subject 0 only

  ~MetadataEntry() {
    spa_hook_remove(&listener);
    if (proxy != nullptr) pw_proxy_destroy(proxy);
  }
};

PwGraph::PwGraph(PwThreadLoop& loop) : loop_(loop) {
  static const pw_registry_events kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = &PwGraph::onGlobal;
    events.global_remove = &PwGraph::onGlobalRemove;
    return events;
  }();
  PwLock lock(loop_);
  registry_ = pw_core_get_registry(loop_.core(), PW_VERSION_REGISTRY, 0);
  if (registry_ == nullptr) throw PwError("pw_core_get_registry", -1);
  registryListener_ = new spa_hook{};
  pw_registry_add_listener(registry_, registryListener_, &kRegistryEvents, this);
  lostToken_ = loop_.onConnectionLost([this](const std::string& reason) {
    emit({PwGraphEvent::Kind::connectionLost, 0, reason, {}});
  });
}

PwGraph::~PwGraph() {
  PwLock lock(loop_);
  loop_.removeLostHandler(lostToken_);
  handlers_.clear();
  unbindProfiler();
  nodes_.clear();
  metadata_.clear();
  spa_hook_remove(registryListener_);
  delete registryListener_;
  pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
}

bool PwGraph::settle(double timeoutSeconds) {
  PwLock lock(loop_);
  for (int i = 0; i < kSettleRoundtrips; ++i) {
    if (!loop_.roundtrip(timeoutSeconds)) return false;
  }
  return true;
}

bool PwGraph::waitFor(const std::function<bool()>& done, double timeoutSeconds) const {
  PwLock lock(loop_);
  return loop_.waitUntil(done, timeoutSeconds);
}

std::vector<PwNode> PwGraph::nodes() const {
  PwLock lock(loop_);
  std::vector<PwNode> result;
  for (const auto& [id, entry] : nodes_)
    result.push_back(entry->node);
  return result;
}

std::vector<PwNode> PwGraph::sinks() const {
  PwLock lock(loop_);
  std::vector<PwNode> result;
  for (const auto& [id, entry] : nodes_) {
    if (entry->node.hasInfo && entry->node.isAudioSink()) result.push_back(entry->node);
  }
  return result;
}

std::vector<PwNode> PwGraph::sources() const {
  PwLock lock(loop_);
  std::vector<PwNode> result;
  for (const auto& [id, entry] : nodes_) {
    if (entry->node.hasInfo && entry->node.isAudioSource()) result.push_back(entry->node);
  }
  return result;
}

std::optional<PwNode> PwGraph::node(uint32_t id) const {
  PwLock lock(loop_);
  const auto it = nodes_.find(id);
  if (it == nodes_.end()) return std::nullopt;
  return it->second->node;
}

std::optional<PwNode> PwGraph::nodeByName(std::string_view name) const {
  PwLock lock(loop_);
  for (const auto& [id, entry] : nodes_) {
    if (entry->node.name() == name) return entry->node;
  }
  return std::nullopt;
}

std::vector<PwPort> PwGraph::ports(uint32_t nodeId) const {
  PwLock lock(loop_);
  std::vector<PwPort> result;
  for (const auto& [id, port] : ports_) {
    if (port.nodeId == nodeId) result.push_back(port);
  }
  std::stable_sort(result.begin(), result.end(), [](const PwPort& a, const PwPort& b) {
    if (a.output != b.output) return !a.output;
    return a.index < b.index;
  });
  return result;
}

std::vector<PwLinkRecord> PwGraph::links() const {
  PwLock lock(loop_);
  std::vector<PwLinkRecord> result;
  for (const auto& [id, link] : links_)
    result.push_back(link);
  return result;
}

bool PwGraph::connected() const {
  PwLock lock(loop_);
  return loop_.connected();
}

std::optional<std::string> PwGraph::metadataValue(std::string_view metadataName,
                                                  std::string_view key) const {
  PwLock lock(loop_);
  for (const auto& [id, entry] : metadata_) {
    if (entry->name != metadataName) continue;
    const auto it = entry->values.find(key);
    if (it != entry->values.end()) return it->second;
  }
  return std::nullopt;
}

bool PwGraph::hasMetadata(std::string_view metadataName) const {
  PwLock lock(loop_);
  return std::any_of(metadata_.begin(), metadata_.end(),
                     [&](const auto& entry) { return entry.second->name == metadataName; });
}

std::string PwGraph::defaultSinkName() const {
  return parseMetadataName(metadataValue(kDefaultMetadata, kDefaultSinkKey).value_or(""));
}

std::string PwGraph::configuredDefaultSinkName() const {
  return parseMetadataName(metadataValue(kDefaultMetadata, kConfiguredSinkKey).value_or(""));
}

bool PwGraph::setMetadata(std::string_view metadataName, std::string_view key,
                          const std::optional<std::string>& value, std::string_view type) {
  PwLock lock(loop_);
  if (!loop_.connected()) return false;
  for (const auto& [id, entry] : metadata_) {
    if (entry->name != metadataName) continue;
    auto* metadata = reinterpret_cast<pw_metadata*>(entry->proxy);
    const std::string keyText(key);
    const std::string typeText(type);
    pw_metadata_set_property(metadata, 0, keyText.c_str(), value ? typeText.c_str() : nullptr,
                             value ? value->c_str() : nullptr);
    return true;
  }
  return false;
}

bool PwGraph::setProfiling(bool on) {
  PwLock lock(loop_);
  profilingWanted_ = on;
  if (on && profiler_ == nullptr && profilerGlobal_ != 0) bindProfiler();
  if (!on) unbindProfiler();
  return !on || profiler_ != nullptr;
}

uint32_t PwGraph::xruns(uint32_t driverId) const {
  PwLock lock(loop_);
  const auto it = xruns_.find(driverId);
  return it != xruns_.end() ? it->second : 0;
}

void PwGraph::bindProfiler() {
  static const pw_profiler_events kProfilerEvents = [] {
    pw_profiler_events events{};
    events.version = PW_VERSION_PROFILER_EVENTS;
    events.profile = &PwGraph::onProfile;
    return events;
  }();
  profiler_ = static_cast<pw_proxy*>(pw_registry_bind(
      registry_, profilerGlobal_, PW_TYPE_INTERFACE_Profiler, PW_VERSION_PROFILER, 0));
  if (profiler_ == nullptr) return;
  profilerListener_ = new spa_hook{};
  pw_proxy_add_object_listener(profiler_, profilerListener_, &kProfilerEvents, this);
}

void PwGraph::unbindProfiler() {
  if (profiler_ == nullptr) return;
  spa_hook_remove(profilerListener_);
  delete profilerListener_;
  profilerListener_ = nullptr;
  pw_proxy_destroy(profiler_);
  profiler_ = nullptr;
  xrunBase_.clear();
  driverXruns_.clear();
  xruns_.clear();
}

void PwGraph::onProfile(void* data, const spa_pod* pod) {
  auto* self = static_cast<PwGraph*>(data);
  // A batch of samples, one object per driver cycle: the driver's info (with
  // its running xrun count), its block (with its node id) and one block per
  // follower (with the state the follower reached in that cycle).
  if (pod == nullptr || !spa_pod_is_struct(pod)) return;
  const void* body = SPA_POD_BODY_CONST(pod);
  const uint32_t size = SPA_POD_BODY_SIZE(pod);
  std::vector<uint32_t> changed;
  for (auto* object = static_cast<const spa_pod*>(body); spa_pod_is_inside(body, size, object);
       object = static_cast<const spa_pod*>(spa_pod_next(object))) {
    if (!spa_pod_is_object_type(object, SPA_TYPE_OBJECT_Profiler)) continue;
    int32_t xrunCount = -1;
    int32_t driver = -1;
    const spa_pod_prop* prop;
    SPA_POD_OBJECT_FOREACH(reinterpret_cast<const spa_pod_object*>(object), prop) {
      if (prop->key == SPA_PROFILER_info) {
        int64_t counter = 0;
        float load[3] = {0, 0, 0};
        spa_pod_parse_struct(&prop->value, SPA_POD_Long(&counter), SPA_POD_Float(&load[0]),
                             SPA_POD_Float(&load[1]), SPA_POD_Float(&load[2]),
                             SPA_POD_Int(&xrunCount));
      } else if (prop->key == SPA_PROFILER_driverBlock) {
        spa_pod_parser parser;
        spa_pod_frame frame;
        spa_pod_parser_pod(&parser, &prop->value);
        if (spa_pod_parser_push_struct(&parser, &frame) == 0) {
          spa_pod_parser_get_int(&parser, &driver);
        }
      } else if (prop->key == SPA_PROFILER_followerBlock) {
        int32_t id = -1;
        int32_t status = kFinished;
        const char* name = nullptr;
        int64_t times[4] = {0, 0, 0, 0};
        if (spa_pod_parse_struct(&prop->value, SPA_POD_Int(&id), SPA_POD_String(&name),
                                 SPA_POD_Long(&times[0]), SPA_POD_Long(&times[1]),
                                 SPA_POD_Long(&times[2]), SPA_POD_Long(&times[3]),
                                 SPA_POD_Int(&status)) >= 0 &&
            id >= 0 && status != kFinished) {
          // The follower had not finished when the cycle's report was made.
          ++self->xruns_[static_cast<uint32_t>(id)];
          changed.push_back(static_cast<uint32_t>(id));
        }
      }
    }
    if (xrunCount >= 0 && driver >= 0) {
      const auto id = static_cast<uint32_t>(driver);
      const auto count = static_cast<uint32_t>(xrunCount);
      const uint32_t base = self->xrunBase_.try_emplace(id, count).first->second;
      const uint32_t counted = count >= base ? count - base : 0;
      uint32_t& seen = self->driverXruns_[id];
      if (counted > seen) {
        self->xruns_[id] += counted - seen;
        seen = counted;
        changed.push_back(id);
      }
    }
  }
  std::sort(changed.begin(), changed.end());
  changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
  for (uint32_t id : changed)
    self->emit({PwGraphEvent::Kind::xrun, id, {}, {}});
}

int PwGraph::subscribe(Handler handler) {
  PwLock lock(loop_);
  const int token = nextToken_++;
  handlers_.emplace_back(token, std::move(handler));
  return token;
}

void PwGraph::unsubscribe(int token) {
  PwLock lock(loop_);
  std::erase_if(handlers_, [token](const auto& entry) { return entry.first == token; });
}

void PwGraph::emit(const PwGraphEvent& event) {
  // Copy: a handler may unsubscribe (itself or another) while we iterate.
  const auto handlers = handlers_;
  for (const auto& [token, handler] : handlers) {
    const bool stillSubscribed = std::any_of(handlers_.begin(), handlers_.end(),
                                             [t = token](const auto& h) { return h.first == t; });
    if (stillSubscribed) handler(event);
  }
  loop_.signal();
}

void PwGraph::onGlobal(void* data, uint32_t id, uint32_t /*permissions*/, const char* type,
                       uint32_t /*version*/, const spa_dict* props) {
  auto* self = static_cast<PwGraph*>(data);
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    self->addNode(id, props);
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
    PwPort port;
    port.id = id;
    port.nodeId = dictId(props, PW_KEY_NODE_ID);
    port.index = dictId(props, PW_KEY_PORT_ID);
    port.name = dictValue(props, PW_KEY_PORT_NAME);
    port.channel = dictValue(props, PW_KEY_AUDIO_CHANNEL);
    port.output = dictValue(props, PW_KEY_PORT_DIRECTION) == "out";
    port.monitor = dictFlag(props, PW_KEY_PORT_MONITOR);
    self->ports_[id] = port;
    self->emit({PwGraphEvent::Kind::portsChanged, port.nodeId, {}, {}});
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
    PwLinkRecord link;
    link.id = id;
    link.outputNode = dictId(props, PW_KEY_LINK_OUTPUT_NODE);
    link.outputPort = dictId(props, PW_KEY_LINK_OUTPUT_PORT);
    link.inputNode = dictId(props, PW_KEY_LINK_INPUT_NODE);
    link.inputPort = dictId(props, PW_KEY_LINK_INPUT_PORT);
    self->links_[id] = link;
    self->emit({PwGraphEvent::Kind::linksChanged, id, {}, {}});
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
    self->addMetadata(id, props);
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Profiler) == 0 && self->profilerGlobal_ == 0) {
    self->profilerGlobal_ = id;
    if (self->profilingWanted_) self->bindProfiler();
  }
}

void PwGraph::onGlobalRemove(void* data, uint32_t id) {
  auto* self = static_cast<PwGraph*>(data);
  if (auto it = self->nodes_.find(id); it != self->nodes_.end()) {
    const bool announced = it->second->node.hasInfo;
    self->nodes_.erase(it);
    if (announced) self->emit({PwGraphEvent::Kind::nodeRemoved, id, {}, {}});
    return;
  }
  if (auto it = self->ports_.find(id); it != self->ports_.end()) {
    const uint32_t nodeId = it->second.nodeId;
    self->ports_.erase(it);
    self->emit({PwGraphEvent::Kind::portsChanged, nodeId, {}, {}});
    return;
  }
  if (id == self->profilerGlobal_) {
    self->unbindProfiler();
    self->profilerGlobal_ = 0;
    return;
  }
  if (self->links_.erase(id) > 0) {
    self->emit({PwGraphEvent::Kind::linksChanged, id, {}, {}});
    return;
  }
  if (auto it = self->metadata_.find(id); it != self->metadata_.end()) {
    const std::string name = it->second->name;
    std::vector<std::string> keys;
    for (const auto& [key, value] : it->second->values)
      keys.push_back(key);
    self->metadata_.erase(it);
    for (const auto& key : keys)
      self->emit({PwGraphEvent::Kind::metadataChanged, 0, key, name});
  }
}

void PwGraph::addNode(uint32_t id, const spa_dict* props) {
  static const pw_node_events kNodeEvents = [] {
    pw_node_events events{};
    events.version = PW_VERSION_NODE_EVENTS;
    events.info = &PwGraph::onNodeInfo;
    events.param = &PwGraph::onNodeParam;
    return events;
  }();
  static const pw_proxy_events kProxyEvents = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.done = &PwGraph::onNodeProxyDone;
    return events;
  }();
  auto entry = std::make_unique<NodeEntry>();
  entry->graph = this;
  entry->node.id = id;
  if (props != nullptr) {
    const spa_dict_item* item;
    spa_dict_for_each(item, props) entry->node.props[item->key] = item->value ? item->value : "";
  }
  entry->proxy = static_cast<pw_proxy*>(
      pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
  if (entry->proxy != nullptr) {
    pw_proxy_add_object_listener(entry->proxy, &entry->listener, &kNodeEvents, entry.get());
    pw_proxy_add_listener(entry->proxy, &entry->proxyListener, &kProxyEvents, entry.get());
  }
  nodes_[id] = std::move(entry);
}

void PwGraph::onNodeInfo(void* data, const pw_node_info* update) {
  auto* entry = static_cast<NodeEntry*>(data);
  PwGraph* self = entry->graph;
  entry->info = pw_node_info_update(entry->info, update);
  if (entry->info == nullptr) return;
  PwNode& node = entry->node;
  const bool first = !node.hasInfo;
  node.hasInfo = true;
  if ((update->change_mask & PW_NODE_CHANGE_MASK_PROPS) && update->props != nullptr) {
    node.props.clear();
    const spa_dict_item* item;
    spa_dict_for_each(item, update->props) node.props[item->key] = item->value ? item->value : "";
  }
  if (update->change_mask & PW_NODE_CHANGE_MASK_STATE) {
    node.state = toState(update->state);
    node.error = update->error != nullptr ? update->error : "";
  }
  // Audio params matter only for sinks; other nodes are tracked by name and state.
  bool enumerating = false;
  if ((update->change_mask & PW_NODE_CHANGE_MASK_PARAMS) && node.isAudioSink()) {
    for (uint32_t i = 0; i < entry->info->n_params; ++i) {
      spa_param_info& param = entry->info->params[i];
      if (param.user == 0) continue;
      param.user = 0;
      if (!wantedParam(param.id)) continue;
      clearParam(entry->staged, param.id);
      if (std::find(entry->stagedIds.begin(), entry->stagedIds.end(), param.id) ==
          entry->stagedIds.end()) {
        entry->stagedIds.push_back(param.id);
      }
      // A param that is not readable (any more) commits as empty.
      if (!(param.flags & SPA_PARAM_INFO_READ)) continue;
      // The answers carry the sequence number of the request message, which
      // is what the call returns (not the number passed in).
      entry->pendingSeq[param.id] = pw_node_enum_params(reinterpret_cast<pw_node*>(entry->proxy), 0,
                                                        param.id, 0, UINT32_MAX, nullptr);
      enumerating = true;
    }
    if (!entry->stagedIds.empty()) {
      if (enumerating) {
        entry->commitSeq = pw_proxy_sync(entry->proxy, 0);
      } else {
        commitParams(*entry);
      }
    }
  }
  self->emit(
      {first ? PwGraphEvent::Kind::nodeAdded : PwGraphEvent::Kind::nodeChanged, node.id, {}, {}});
}

void PwGraph::onNodeParam(void* data, int seq, uint32_t id, uint32_t /*index*/, uint32_t /*next*/,
                          const spa_pod* param) {
  auto* entry = static_cast<NodeEntry*>(data);
  const auto pending = entry->pendingSeq.find(id);
  if (pending == entry->pendingSeq.end() || pending->second != seq) return;  // stale answer
  PwNode& staged = entry->staged;
  switch (id) {
    case SPA_PARAM_EnumFormat:
      if (auto format = parseAudioFormat(param)) staged.enumFormats.push_back(*format);
      break;
    case SPA_PARAM_Format:
      staged.format = parseAudioFormat(param);
      break;
    case SPA_PARAM_Latency:
      if (auto value = parseLatency(param)) staged.latency.push_back(*value);
      break;
    case SPA_PARAM_ProcessLatency:
      staged.processLatency = parseProcessLatency(param);
      break;
    default:
      break;
  }
}

void PwGraph::onNodeProxyDone(void* data, int seq) {
  auto* entry = static_cast<NodeEntry*>(data);
  if (seq != entry->commitSeq) return;
  entry->commitSeq = -1;
  commitParams(*entry);
  entry->graph->emit({PwGraphEvent::Kind::nodeChanged, entry->node.id, {}, {}});
}

void PwGraph::clearParam(PwNode& node, uint32_t id) {
  if (id == SPA_PARAM_Format) node.format.reset();
  if (id == SPA_PARAM_EnumFormat) node.enumFormats.clear();
  if (id == SPA_PARAM_Latency) node.latency.clear();
  if (id == SPA_PARAM_ProcessLatency) node.processLatency.reset();
}

void PwGraph::commitParams(NodeEntry& entry) {
  PwNode& node = entry.node;
  for (uint32_t id : entry.stagedIds) {
    if (id == SPA_PARAM_Format) node.format = entry.staged.format;
    if (id == SPA_PARAM_EnumFormat) node.enumFormats = entry.staged.enumFormats;
    if (id == SPA_PARAM_Latency) node.latency = entry.staged.latency;
    if (id == SPA_PARAM_ProcessLatency) node.processLatency = entry.staged.processLatency;
  }
  entry.stagedIds.clear();
}

void PwGraph::addMetadata(uint32_t id, const spa_dict* props) {
  static const pw_metadata_events kMetadataEvents = [] {
    pw_metadata_events events{};
    events.version = PW_VERSION_METADATA_EVENTS;
    events.property = &PwGraph::onMetadataProperty;
    return events;
  }();
  auto entry = std::make_unique<MetadataEntry>();
  entry->graph = this;
  entry->id = id;
  entry->name = dictValue(props, PW_KEY_METADATA_NAME);
  entry->proxy = static_cast<pw_proxy*>(
      pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
  if (entry->proxy != nullptr) {
    pw_proxy_add_object_listener(entry->proxy, &entry->listener, &kMetadataEvents, entry.get());
  }
  metadata_[id] = std::move(entry);
}

int PwGraph::onMetadataProperty(void* data, uint32_t subject, const char* key, const char* /*type*/,
                                const char* value) {
  auto* entry = static_cast<MetadataEntry*>(data);
  if (subject != 0) return 0;
  if (key == nullptr) {
    // Everything of the subject was cleared.
    std::vector<std::string> keys;
    for (const auto& [k, v] : entry->values)
      keys.push_back(k);
    entry->values.clear();
    for (const auto& k : keys)
      entry->graph->emit({PwGraphEvent::Kind::metadataChanged, 0, k, entry->name});
    return 0;
  }
  if (value == nullptr) {
    entry->values.erase(std::string(key));
  } else {
    entry->values[key] = value;
  }
  entry->graph->emit({PwGraphEvent::Kind::metadataChanged, 0, key, entry->name});
  return 0;
}

}  // namespace choralink::pipewire
