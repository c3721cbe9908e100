// Where Choralink keeps its files, and the one way it replaces a file.
//
// Every location is computed on each call from the environment, so a test can
// point the whole application at a private folder by setting XDG_CONFIG_HOME
// and XDG_STATE_HOME. Folders that the application owns are created on use;
// files are not. Safe to call from any thread.
#pragma once

#include <filesystem>
#include <string_view>

namespace choralink::Paths {

// $XDG_CONFIG_HOME/Choralink (default ~/.config/Choralink); created on use.
std::filesystem::path appSupport();
// settings.json in appSupport() (the folder is created, the file is not).
std::filesystem::path settingsFile();
// rate-restore.json in appSupport(): the sample-rate journal.
std::filesystem::path rateRestoreFile();
// default-output.json in appSupport(): the output the system had before our
// muted tap took the default, kept while it holds it.
std::filesystem::path defaultOutputJournalFile();

// $XDG_STATE_HOME/Choralink/logs (default ~/.local/state/Choralink/logs);
// created on use.
std::filesystem::path logs();
// choralink.log in logs() (the folder is created, the file is not).
std::filesystem::path logFile();
// $XDG_STATE_HOME/Choralink/crashes, where the app's crash handler writes its
// reports and the feedback form looks for the newest one; created on use.
std::filesystem::path crashReports();

// $XDG_CACHE_HOME/Choralink/updates (default ~/.cache/...): downloaded
// updates until they are installed; created on use.
std::filesystem::path updateDownloads();
// updater.json in $XDG_STATE_HOME/Choralink: whether the updater checks on
// its own and when it last did (the folder is created, the file is not).
std::filesystem::path updaterStateFile();

// Creates `folder` and any missing parents and returns it unchanged. Every
// failure is ignored: a later write into the folder fails on its own.
std::filesystem::path ensure(const std::filesystem::path& folder) noexcept;

// Replaces `target` with `bytes` so that any reader, and the file after a
// crash, sees either the old content or the new one, never a mixture: the
// bytes go to a temporary file in the same folder, are flushed to disk, and
// the temporary file is renamed over the target. On failure the temporary
// file is removed, the target is left as it was, and
// std::filesystem::filesystem_error is thrown carrying the system's error.
void writeAtomically(const std::filesystem::path& target, std::string_view bytes);

}  // namespace choralink::Paths
