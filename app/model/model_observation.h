// How views learn that the app model changed: one callback per observer,
// called with the field that changed. A toolkit binds this to its own
// mechanism (a Qt adapter turns each field into a signal) without the model
// knowing the toolkit.
//
// Everything here lives on the model's thread. Observers are called
// synchronously, right after the field was stored, possibly in the middle of
// an operation that changes several fields; a view that reads several fields
// should refresh on its next event-loop turn rather than inside the callback,
// and must not call the model's operations from inside it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string_view>

namespace choralink {

// Every observable field of AppModel, in declaration order. Derived values
// (statusLine, isSharing, …) are computed on read; a view showing one
// refreshes when any field changes.
enum class ModelField {
  devices,
  engineState,
  activeUIDs,
  levels,
  deviceProblems,
  lostUIDs,
  captureSilent,
  captureBlocked,
  delays,
  settings,
  section,
  showOnboarding,
  showFeedback,
  // The updater's state (hasController, canCheck, automaticallyChecks).
  updater,
};

// The field's member name ("engineState"), for logs and test messages.
std::string_view name(ModelField field);

class ModelObservers;

// One observer's registration; ends it when cancelled or destroyed. Safe to
// outlive the model it came from.
class Observation {
 public:
  Observation() = default;
  Observation(Observation&& other) noexcept;
  Observation& operator=(Observation&& other) noexcept;
  Observation(const Observation&) = delete;
  Observation& operator=(const Observation&) = delete;
  ~Observation() { cancel(); }

  // After cancel() the observer is not called again, not even for a
  // notification that is being delivered right now.
  void cancel();

 private:
  friend class ModelObservers;
  struct Registry;
  Observation(std::weak_ptr<Registry> registry, std::uint64_t id)
      : registry_(std::move(registry)), id_(id) {}
  std::weak_ptr<Registry> registry_;
  std::uint64_t id_ = 0;
};

// The observer list of one model.
class ModelObservers {
 public:
  using Observer = std::function<void(ModelField)>;

  ModelObservers();

  // Registers `observer` until the returned Observation ends.
  [[nodiscard]] Observation add(Observer observer);

  // Calls every registered observer, in registration order. An observer
  // registered during the call is not called this time; one cancelled during
  // the call is not called any more.
  void notify(ModelField field) const;

  std::size_t count() const;

 private:
  std::shared_ptr<Observation::Registry> registry_;
};

}  // namespace choralink
