#include "app/update/updater_state.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

#include "support/paths.h"

namespace choralink {

UpdaterState UpdaterState::load(const std::filesystem::path& file) {
  UpdaterState state;
  std::ifstream in(file);
  if (!in) return state;
  std::stringstream text;
  text << in.rdbuf();
  const nlohmann::json json = nlohmann::json::parse(text.str(), nullptr, false);
  if (!json.is_object()) return state;
  if (auto it = json.find("automatically_checks"); it != json.end() && it->is_boolean()) {
    state.automaticallyChecks = it->get<bool>();
  }
  if (auto it = json.find("last_check"); it != json.end() && it->is_number()) {
    state.lastCheck = it->get<double>();
  }
  if (auto it = json.find("skipped_version"); it != json.end() && it->is_string()) {
    state.skippedVersion = it->get<std::string>();
  }
  return state;
}

void UpdaterState::save(const std::filesystem::path& file) const {
  nlohmann::json json{{"automatically_checks", automaticallyChecks}};
  if (lastCheck) json["last_check"] = *lastCheck;
  if (!skippedVersion.empty()) json["skipped_version"] = skippedVersion;
  Paths::ensure(file.parent_path());
  Paths::writeAtomically(file, json.dump(2) + "\n");
}

}  // namespace choralink
