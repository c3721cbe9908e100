// What the engine reports to the application: why a broadcast ended
// (StopReason) and everything that happens to a broadcast (EngineEvent).
// Plain values; equal when the case and the payload are equal.
#pragma once

#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace choralink {

// What a stop for the loss of the sound server tells the user.
inline constexpr const char* kSoundServerStoppedMessage = "The sound server stopped";

class StopReason {
 public:
  enum class Kind { failed, user, sleep, noDevices, captureBlocked, serviceGone };

  // A failure with a message for the user.
  static StopReason failed(std::string message) { return {Kind::failed, std::move(message)}; }
  static StopReason user() { return {Kind::user, {}}; }
  static StopReason sleep() { return {Kind::sleep, {}}; }
  static StopReason noDevices() { return {Kind::noDevices, {}}; }
  static StopReason captureBlocked() { return {Kind::captureBlocked, {}}; }
  // The platform's sound server went away under the broadcast.
  static StopReason serviceGone() { return {Kind::serviceGone, kSoundServerStoppedMessage}; }

  Kind kind() const { return kind_; }
  // The failure's message, kSoundServerStoppedMessage for serviceGone; empty
  // for every other case.
  const std::string& message() const { return message_; }

  friend bool operator==(const StopReason& a, const StopReason& b) {
    return a.kind_ == b.kind_ && (a.kind_ != Kind::failed || a.message_ == b.message_);
  }

 private:
  StopReason(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind_;
  std::string message_;
};

class EngineEvent {
 public:
  // A broadcast (re)started; the UIDs of the devices playing, in slot order.
  struct Started {
    std::vector<std::string> active;
    friend bool operator==(const Started&, const Started&) = default;
  };
  // The broadcast ended and will not restart by itself.
  struct Stopped {
    StopReason reason;
    friend bool operator==(const Stopped&, const Stopped&) = default;
  };
  // A playing device vanished; its name as it was while playing.
  struct DeviceLost {
    std::string uid;
    std::string name;
    friend bool operator==(const DeviceLost&, const DeviceLost&) = default;
  };
  // A chosen device could not join the broadcast that just started.
  struct DeviceSkipped {
    std::string uid;
    std::string why;
    friend bool operator==(const DeviceSkipped&, const DeviceSkipped&) = default;
  };
  // true: the capture has been silent for long; false: sound flows again.
  struct CaptureSilent {
    bool silent = false;
    friend bool operator==(const CaptureSilent&, const CaptureSilent&) = default;
  };
  // A problem that does not end the broadcast.
  struct Error {
    std::string message;
    friend bool operator==(const Error&, const Error&) = default;
  };
  struct Rebuilding {
    friend bool operator==(const Rebuilding&, const Rebuilding&) = default;
  };
  struct Overload {
    friend bool operator==(const Overload&, const Overload&) = default;
  };

  using Payload = std::variant<Started, Stopped, DeviceLost, DeviceSkipped, CaptureSilent, Error,
                               Rebuilding, Overload>;
  // The cases in declaration order (the payload's index).
  enum class Kind {
    started,
    stopped,
    deviceLost,
    deviceSkipped,
    captureSilent,
    error,
    rebuilding,
    overload
  };

  static EngineEvent started(std::vector<std::string> active) {
    return {Started{std::move(active)}};
  }
  static EngineEvent stopped(StopReason reason) { return {Stopped{std::move(reason)}}; }
  static EngineEvent deviceLost(std::string uid, std::string name) {
    return {DeviceLost{std::move(uid), std::move(name)}};
  }
  static EngineEvent deviceSkipped(std::string uid, std::string why) {
    return {DeviceSkipped{std::move(uid), std::move(why)}};
  }
  static EngineEvent captureSilent(bool silent) { return {CaptureSilent{silent}}; }
  static EngineEvent error(std::string message) { return {Error{std::move(message)}}; }
  static EngineEvent rebuilding() { return {Rebuilding{}}; }
  static EngineEvent overload() { return {Overload{}}; }

  Kind kind() const { return static_cast<Kind>(payload_.index()); }
  const Payload& payload() const { return payload_; }
  // The payload when the event is of that case, else null.
  template <class T>
  const T* as() const {
    return std::get_if<T>(&payload_);
  }

  friend bool operator==(const EngineEvent&, const EngineEvent&) = default;

 private:
  EngineEvent(Payload payload) : payload_(std::move(payload)) {}
  Payload payload_;
};

// Readable forms, for logs and test failure messages:
// stopped(failed("…")), started([a, b]), deviceLost(uid, name) and so on.
std::string describe(const StopReason& reason);
std::string describe(const EngineEvent& event);
std::ostream& operator<<(std::ostream& out, const StopReason& reason);
std::ostream& operator<<(std::ostream& out, const EngineEvent& event);

}  // namespace choralink
