#include "engine/hal/pipewire/pw_default_output.h"

namespace choralink::pipewire {

SavedDefaultOutput saveDefaultOutput(const PwGraph& graph) {
  return {graph.metadataValue(kDefaultMetadataName, kDefaultSinkKey),
          graph.metadataValue(kDefaultMetadataName, kConfiguredDefaultSinkKey)};
}

bool setDefaultOutput(PwGraph& graph, const std::string& name) {
  const std::string value = metadataNameValue(name);
  // The configured key first: a session manager that reacts to it then
  // derives the same current default we write next.
  return graph.setMetadata(kDefaultMetadataName, kConfiguredDefaultSinkKey, value) &&
         graph.setMetadata(kDefaultMetadataName, kDefaultSinkKey, value);
}

bool restoreDefaultOutput(PwGraph& graph, const SavedDefaultOutput& saved) {
  return graph.setMetadata(kDefaultMetadataName, kConfiguredDefaultSinkKey, saved.configured) &&
         graph.setMetadata(kDefaultMetadataName, kDefaultSinkKey, saved.current);
}

bool defaultOutputIs(const PwGraph& graph, const SavedDefaultOutput& saved) {
  return saveDefaultOutput(graph) == saved;
}

}  // namespace choralink::pipewire
