#include "daemon/signals.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>

namespace {

TEST(Signals, StopRaisedBeforeTheWaitEndsItAtOnce) {
  int const touched[] = {SIGTERM, SIGINT, SIGTTOU, SIGTTIN, SIGTSTP, SIGHUP, SIGCHLD};
  struct sigaction saved[7];
  for (int i = 0; i < 7; ++i) sigaction(touched[i], nullptr, &saved[i]);
  sigset_t savedMask;
  pthread_sigmask(SIG_SETMASK, nullptr, &savedMask);

  EXPECT_TRUE(InstallSignalHandlers());
  sigset_t const waitMask = BlockTerminatingSignals();
  raise(SIGCHLD);  // caught, and no stop
  raise(SIGTERM);  // held until the wait lets it in
  EXPECT_EQ(g_stopRequested.load(), 0);
  auto const start = std::chrono::steady_clock::now();
  timespec const turn{30, 0};
  EXPECT_EQ(ppoll(nullptr, 0, &turn, &waitMask), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(g_stopRequested.load(), 1);
  EXPECT_EQ(g_lastSignal.load(), SIGTERM);

  pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
  for (int i = 0; i < 7; ++i) sigaction(touched[i], &saved[i], nullptr);
  g_stopRequested = g_lastSignal = 0;
}

}  // namespace
