// Turns SIGINT, SIGTERM and SIGHUP into a byte on a pipe, so that the
// program's own loop (the Qt event loop, a tool's wait) notices them and
// takes its normal teardown path: the handler itself does nothing but write
// that byte. One instance at a time per process; it puts the previous
// handlers back when it goes.
#pragma once

#include <atomic>
#include <optional>

namespace choralink {

class TerminationSignals {
 public:
  // Installs the handlers. Throws std::system_error when the pipe or a
  // handler cannot be set up, std::logic_error when another instance lives.
  TerminationSignals();
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // Readable once a signal arrived (for QSocketNotifier or poll).
  int fd() const { return readFd_; }
  // The first signal that arrived since construction, if any. Never blocks.
  std::optional<int> received();
  // Waits up to `seconds` for a signal; returns it, or nothing on time-out.
  std::optional<int> waitFor(double seconds);

 private:
  void drain();

  int readFd_ = -1;
  int writeFd_ = -1;
  std::optional<int> first_;
};

}  // namespace choralink
