#include "app/model/engine_state.h"

namespace choralink {

std::string describe(const EngineState& state) {
  switch (state.kind()) {
    case EngineState::Kind::off:
      return "off";
    case EngineState::Kind::starting:
      return "starting";
    case EngineState::Kind::running:
      return "running";
    case EngineState::Kind::rebuilding:
      return "rebuilding";
    case EngineState::Kind::failed:
      break;
  }
  return "failed(\"" + state.message() + "\")";
}

std::ostream& operator<<(std::ostream& out, const EngineState& state) {
  return out << describe(state);
}

}  // namespace choralink
