// The system's default output as PipeWire keeps it: two keys of the
// "default" metadata object. default.configured.audio.sink is the user's
// choice (a session manager stores it and moves streams when it changes);
// default.audio.sink is the one in effect (a session manager derives it; with
// none running it is simply what was last written). Both hold JSON such as
// { "name": "<node.name>" }.
//
// Pointing the system at our virtual sink writes both keys and keeps their
// previous raw values so that they can be put back exactly, including "was not
// set". The saved values are plain text, so the owner can journal them and
// put them back after a crash, from another process.
#pragma once

#include <optional>
#include <string>

#include "engine/hal/pipewire/pw_graph.h"

namespace choralink::pipewire {

inline constexpr const char* kDefaultMetadataName = "default";
inline constexpr const char* kDefaultSinkKey = "default.audio.sink";
inline constexpr const char* kConfiguredDefaultSinkKey = "default.configured.audio.sink";

struct SavedDefaultOutput {
  std::optional<std::string> current;     // default.audio.sink, raw JSON
  std::optional<std::string> configured;  // default.configured.audio.sink, raw JSON
  bool operator==(const SavedDefaultOutput&) const = default;
};

// What the two keys hold now.
SavedDefaultOutput saveDefaultOutput(const PwGraph& graph);
// Points both keys at the sink with node name `name`. False when the graph
// has no default metadata object.
bool setDefaultOutput(PwGraph& graph, const std::string& name);
// Writes the saved values back (an absent value removes the key). False when
// the graph has no default metadata object.
bool restoreDefaultOutput(PwGraph& graph, const SavedDefaultOutput& saved);
// Whether the keys already hold what `saved` holds (the echo arrived).
bool defaultOutputIs(const PwGraph& graph, const SavedDefaultOutput& saved);

// `saved` with every value that names the sink `stale` pointing at
// `fallback` instead (removed when `fallback` is empty). A run that died while
// its own sink held the default leaves that name behind; saving or putting it
// back would point the system at a sink that no longer exists, for good.
SavedDefaultOutput replacingSink(SavedDefaultOutput saved, const std::string& stale,
                                 const std::string& fallback);
// Whether either key names the sink `name`.
bool defaultOutputNames(const SavedDefaultOutput& saved, const std::string& name);

}  // namespace choralink::pipewire
