#include "engine/hal/pipewire/pw_default_output.h"

#include "engine/hal/pipewire/pw_params.h"

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

SavedDefaultOutput replacingSink(SavedDefaultOutput saved, const std::string& stale,
                                 const std::string& fallback) {
  for (std::optional<std::string>* value : {&saved.current, &saved.configured}) {
    if (!*value || parseMetadataName(**value) != stale) continue;
    *value =
        fallback.empty() ? std::nullopt : std::optional<std::string>(metadataNameValue(fallback));
  }
  return saved;
}

bool defaultOutputNames(const SavedDefaultOutput& saved, const std::string& name) {
  return (saved.current && parseMetadataName(*saved.current) == name) ||
         (saved.configured && parseMetadataName(*saved.configured) == name);
}

}  // namespace choralink::pipewire
