#include "engine/graph/rate_journal.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <system_error>

#include <nlohmann/json.hpp>

#include "engine/devices/device_lookup.h"
#include "engine/hal/hal.h"
#include "support/paths.h"

namespace choralink::RateJournal {

Entries load(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return {};
  Entries entries;
  for (const auto& [uid, rate] : json.items()) {
    if (!rate.is_number()) return {};
    entries[uid] = rate.get<double>();
  }
  return entries;
}

void save(const Entries& entries, const std::filesystem::path& file) {
  if (entries.empty()) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    return;
  }
  try {
    nlohmann::json json = nlohmann::json::object();
    for (const auto& [uid, rate] : entries) {
      // JSON has no infinities or NaN (they would be written as null and make
      // the whole file undecodable, losing every other entry); such a rate
      // cannot be set back anyway.
      if (std::isfinite(rate)) json[uid] = rate;
    }
    Paths::ensure(file.parent_path());
    Paths::writeAtomically(file, json.dump());
  } catch (...) {
    // Encoding and writing failures leave the previous file in place.
  }
}

bool record(const std::string& uid, double rate, const std::filesystem::path& file) {
  Entries entries = load(file);
  if (entries.count(uid) > 0) return false;
  entries[uid] = rate;
  save(entries, file);
  return true;
}

void forget(const std::string& uid, const std::filesystem::path& file) {
  Entries entries = load(file);
  if (entries.erase(uid) > 0) save(entries, file);
}

void restoreAll(AudioSystem& system, Log& log, const std::filesystem::path& file) {
  const Entries entries = load(file);
  for (const auto& [uid, rate] : entries) {
    const auto device = findDevice(system, uid);
    if (!device) {
      log.warn("Rate journal: device " + uid + " not present; will retry next launch");
      continue;
    }
    try {
      HAL::set(system, *device, kPropNominalSampleRate, rate);
    } catch (const HALError& error) {
      log.warn("Rate journal: could not restore " + uid + ": " + error.description());
      continue;
    }
    log.info("Rate journal: restored " + uid + " to " + Log::number(rate) +
             " Hz after an unclean exit");
    forget(uid, file);
  }
}

}  // namespace choralink::RateJournal
