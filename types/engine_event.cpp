#include "types/engine_event.h"

namespace choralink {

namespace {

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

}  // namespace

std::string describe(const StopReason& reason) {
  switch (reason.kind()) {
    case StopReason::Kind::failed:
      return "failed(" + quoted(reason.message()) + ")";
    case StopReason::Kind::user:
      return "user";
    case StopReason::Kind::sleep:
      return "sleep";
    case StopReason::Kind::noDevices:
      return "noDevices";
    case StopReason::Kind::captureBlocked:
      return "captureBlocked";
    case StopReason::Kind::serviceGone:
      return "serviceGone";
  }
  return "?";
}

std::string describe(const EngineEvent& event) {
  struct Visitor {
    std::string operator()(const EngineEvent::Started& e) const {
      std::string out = "started([";
      for (std::size_t i = 0; i < e.active.size(); ++i) {
        if (i > 0) out += ", ";
        out += e.active[i];
      }
      return out + "])";
    }
    std::string operator()(const EngineEvent::Stopped& e) const {
      return "stopped(" + describe(e.reason) + ")";
    }
    std::string operator()(const EngineEvent::DeviceLost& e) const {
      return "deviceLost(" + e.uid + ", " + quoted(e.name) + ")";
    }
    std::string operator()(const EngineEvent::DeviceSkipped& e) const {
      return "deviceSkipped(" + e.uid + ", " + quoted(e.why) + ")";
    }
    std::string operator()(const EngineEvent::CaptureSilent& e) const {
      return std::string("captureSilent(") + (e.silent ? "true" : "false") + ")";
    }
    std::string operator()(const EngineEvent::Error& e) const {
      return "error(" + quoted(e.message) + ")";
    }
    std::string operator()(const EngineEvent::Rebuilding&) const { return "rebuilding"; }
    std::string operator()(const EngineEvent::Overload&) const { return "overload"; }
  };
  return std::visit(Visitor{}, event.payload());
}

std::ostream& operator<<(std::ostream& out, const StopReason& reason) {
  return out << describe(reason);
}

std::ostream& operator<<(std::ostream& out, const EngineEvent& event) {
  return out << describe(event);
}

}  // namespace choralink
