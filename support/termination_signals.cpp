#include "support/termination_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <stdexcept>
#include <system_error>

namespace choralink {
namespace {

constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};

// The handler can reach only globals. Written once by the one live instance
// before the handlers go in, cleared after they are out.
std::atomic<int> gWriteFd{-1};
struct sigaction gPrevious[kSignals.size()];

void onSignal(int number) {
  const int saved = errno;
  const int fd = gWriteFd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(number);
    // A full pipe already says a signal is waiting; nothing else to do.
    (void)!::write(fd, &byte, 1);
  }
  errno = saved;
}

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

TerminationSignals::TerminationSignals() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fail("termination signal pipe");
  int expected = -1;
  if (!gWriteFd.compare_exchange_strong(expected, fds[1])) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::logic_error("termination signals are already being watched");
  }
  readFd_ = fds[0];
  writeFd_ = fds[1];
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (::sigaction(kSignals[i], &action, &gPrevious[i]) != 0) {
      const int error = errno;
      for (std::size_t j = 0; j < i; ++j)
        ::sigaction(kSignals[j], &gPrevious[j], nullptr);
      gWriteFd.store(-1);
      ::close(readFd_);
      ::close(writeFd_);
      errno = error;
      fail("sigaction");
    }
  }
}

TerminationSignals::~TerminationSignals() {
  for (std::size_t i = 0; i < kSignals.size(); ++i)
    ::sigaction(kSignals[i], &gPrevious[i], nullptr);
  gWriteFd.store(-1);
  ::close(readFd_);
  ::close(writeFd_);
}

void TerminationSignals::drain() {
  unsigned char bytes[16];
  for (;;) {
    const ssize_t n = ::read(readFd_, bytes, sizeof bytes);
    if (n <= 0) break;
    if (!first_) first_ = bytes[0];
  }
}

std::optional<int> TerminationSignals::received() {
  drain();
  return first_;
}

std::optional<int> TerminationSignals::waitFor(double seconds) {
  if (received()) return first_;
  pollfd entry{readFd_, POLLIN, 0};
  const int timeoutMs = seconds <= 0 ? 0 : static_cast<int>(std::ceil(seconds * 1000.0));
  while (::poll(&entry, 1, timeoutMs) < 0 && errno == EINTR) {
  }
  return received();
}

}  // namespace choralink
