// The snapshot aid for development: after a delay, every visible top-level
// window rendered into a PNG file named by frame_rules' snapshotFileName.
// Qt thread only.
#pragma once

#include <filesystem>

#include "app/wiring/frame_rules.h"

namespace choralink {

// Writes the snapshots now; returns how many files were written. The folder
// is created when missing. A window that cannot be rendered or written is
// skipped without a word: this is a development aid, not a feature.
int writeWindowSnapshots(const std::filesystem::path& folder);
// Writes them request.delaySeconds from now, from the event loop.
void scheduleWindowSnapshots(const SnapshotRequest& request);

}  // namespace choralink
