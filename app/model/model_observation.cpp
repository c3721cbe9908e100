#include "app/model/model_observation.h"

#include <utility>
#include <vector>

namespace choralink {

struct Observation::Registry {
  std::map<std::uint64_t, std::shared_ptr<ModelObservers::Observer>> observers;
  std::uint64_t nextID = 1;
};

std::string_view name(ModelField field) {
  switch (field) {
    case ModelField::devices:
      return "devices";
    case ModelField::engineState:
      return "engineState";
    case ModelField::activeUIDs:
      return "activeUIDs";
    case ModelField::levels:
      return "levels";
    case ModelField::deviceProblems:
      return "deviceProblems";
    case ModelField::lostUIDs:
      return "lostUIDs";
    case ModelField::captureSilent:
      return "captureSilent";
    case ModelField::captureBlocked:
      return "captureBlocked";
    case ModelField::delays:
      return "delays";
    case ModelField::settings:
      return "settings";
    case ModelField::section:
      return "section";
    case ModelField::showOnboarding:
      return "showOnboarding";
    case ModelField::showFeedback:
      return "showFeedback";
    case ModelField::updater:
      break;
  }
  return "updater";
}

Observation::Observation(Observation&& other) noexcept
    : registry_(std::exchange(other.registry_, {})), id_(std::exchange(other.id_, 0)) {}

Observation& Observation::operator=(Observation&& other) noexcept {
  if (this != &other) {
    cancel();
    registry_ = std::exchange(other.registry_, {});
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void Observation::cancel() {
  if (auto registry = registry_.lock()) registry->observers.erase(id_);
  registry_.reset();
  id_ = 0;
}

ModelObservers::ModelObservers() : registry_(std::make_shared<Observation::Registry>()) {}

Observation ModelObservers::add(Observer observer) {
  const std::uint64_t id = registry_->nextID++;
  registry_->observers.emplace(id, std::make_shared<Observer>(std::move(observer)));
  return Observation(registry_, id);
}

void ModelObservers::notify(ModelField field) const {
  // Observers may register or cancel others while being called, so walk a
  // copy and re-check membership before each call.
  std::vector<std::pair<std::uint64_t, std::shared_ptr<Observer>>> current(
      registry_->observers.begin(), registry_->observers.end());
  for (const auto& [id, observer] : current) {
    if (registry_->observers.count(id) == 0) continue;
    if (*observer) (*observer)(field);
  }
}

std::size_t ModelObservers::count() const {
  return registry_->observers.size();
}

}  // namespace choralink
