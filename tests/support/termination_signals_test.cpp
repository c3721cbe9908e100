#include "support/termination_signals.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <stdexcept>

namespace choralink {
namespace {

TEST(TerminationSignalsTest, EachSignalArrivesAsDataAndTheFirstOneWins) {
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    TerminationSignals signals;
    EXPECT_FALSE(signals.waitFor(0.0));
    ASSERT_EQ(::raise(number), 0);
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_EQ(signals.waitFor(1.0), number);
    EXPECT_EQ(signals.received(), number);
  }
}

TEST(TerminationSignalsTest, OneWatcherAtATimeAndThePreviousHandlerComesBack) {
  static volatile sig_atomic_t seen = 0;
  struct sigaction mine {};
  mine.sa_handler = [](int) { seen = 1; };
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGHUP, &mine, &before), 0);
  {
    TerminationSignals signals;
    EXPECT_THROW(TerminationSignals second, std::logic_error);
  }
  ASSERT_EQ(::raise(SIGHUP), 0);
  EXPECT_EQ(seen, 1);
  ::sigaction(SIGHUP, &before, nullptr);
}

}  // namespace
}  // namespace choralink
