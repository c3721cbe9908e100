// The record of device sample rates this program changed, kept on disk so that
// a run that ends without tearing its broadcast down (a crash, a forced quit, a
// power loss) can be repaired at the next launch.
//
// The journal is a JSON object in one small file (rate-restore.json in the
// application-support folder: Paths::rateRestoreFile()), mapping a device UID
// to the nominal rate the device had before we first changed it. It exists
// only while some device is away from its own rate. Every operation loads and
// saves the file; nothing is kept in memory. Used only from the engine's
// serial work (session construction and teardown, the router's start-up).
//
// Every function takes the file so that tests (and any other caller) choose
// where it lives; the application passes Paths::rateRestoreFile().
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "engine/hal/audio_system.h"
#include "support/log.h"

namespace choralink::RateJournal {

using Entries = std::map<std::string, double>;

// The journal in `file`. A missing, unreadable or undecodable file (anything
// but an object whose values are all numbers) is an empty journal.
Entries load(const std::filesystem::path& file);

// Writes `entries` compactly and atomically, or deletes the file when there
// are none. Every failure is ignored: the previous file stays as it was.
void save(const Entries& entries, const std::filesystem::path& file);

// Before changing a device's rate: records `rate` for `uid` unless the journal
// already holds that device (a rate recorded by an earlier, unclean run is the
// device's own and stays). Returns whether this call added the entry.
bool record(const std::string& uid, double rate, const std::filesystem::path& file);

// Drops the device's entry, saving only when there was one.
void forget(const std::string& uid, const std::filesystem::path& file);

// The launch-time repair: sets every recorded device that is present back to
// its recorded rate and forgets it; absent devices and failed writes keep
// their entries for the next launch. Logs each outcome; an empty journal does
// nothing and logs nothing.
void restoreAll(AudioSystem& system, Log& log, const std::filesystem::path& file);

}  // namespace choralink::RateJournal
