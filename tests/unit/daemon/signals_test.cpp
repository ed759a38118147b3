#include "daemon/signals.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>

namespace {

TEST(Signals, ExitStatusOfAStop) {
  struct Case {
    int signal;
    bool standalone;
    int status;
  } const cases[] = {
      {SIGINT, true, 0},   {SIGINT, false, 52},  {SIGTERM, true, 65}, {SIGTERM, false, 65},
      {SIGTSTP, true, 70}, {SIGTTIN, false, 71}, {SIGTTOU, true, 72},
  };
  for (auto const& c : cases) {
    EXPECT_EQ(StopExitStatus(c.signal, c.standalone), c.status) << c.signal << c.standalone;
  }
}

class SignalHandlers : public testing::Test {
 protected:
  void SetUp() override {
    for (int s : kTouched) sigaction(s, nullptr, &saved_[s]);
    pthread_sigmask(SIG_SETMASK, nullptr, &savedMask_);
    g_stopRequested = 0;
    g_lastSignal = 0;
  }
  void TearDown() override {
    pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
    for (int s : kTouched) sigaction(s, &saved_[s], nullptr);
    g_stopRequested = 0;
    g_lastSignal = 0;
  }
  static constexpr int kTouched[] = {SIGTERM, SIGINT, SIGTTOU, SIGTTIN, SIGTSTP, SIGCHLD, SIGHUP};
  struct sigaction saved_[NSIG] = {};
  sigset_t savedMask_;
};

TEST_F(SignalHandlers, TerminatingSignalsAreRecordedAndChildEndsIgnored) {
  ASSERT_TRUE(InstallSignalHandlers());

  // A handler that does nothing, not the ignore disposition.
  struct sigaction child {};
  sigaction(SIGCHLD, nullptr, &child);
  EXPECT_EQ(child.sa_handler, childSignalHandler);
  struct sigaction hangup {};
  sigaction(SIGHUP, nullptr, &hangup);
  EXPECT_EQ(hangup.sa_handler, saved_[SIGHUP].sa_handler);

  raise(SIGCHLD);
  EXPECT_EQ(g_stopRequested.load(), 0);
  EXPECT_EQ(g_lastSignal.load(), 0);

  // SIGTSTP would otherwise suspend this process; the last signal counts.
  for (int s : {SIGTSTP, SIGTTIN, SIGTTOU, SIGINT, SIGTERM}) {
    raise(s);
    EXPECT_EQ(g_stopRequested.load(), 1);
    EXPECT_EQ(g_lastSignal.load(), s);
  }
}

TEST_F(SignalHandlers, BlockedStopIsTakenByTheWait) {
  ASSERT_TRUE(InstallSignalHandlers());
  sigset_t const waitMask = BlockTerminatingSignals();
  EXPECT_EQ(sigismember(&waitMask, SIGTERM), 0);

  // Raised before the wait begins: held until the wait lets it in, so the
  // wait ends at once instead of running its full time.
  raise(SIGTERM);
  EXPECT_EQ(g_stopRequested.load(), 0);
  auto const start = std::chrono::steady_clock::now();
  timespec const turn{30, 0};
  EXPECT_EQ(ppoll(nullptr, 0, &turn, &waitMask), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(g_stopRequested.load(), 1);
  EXPECT_EQ(g_lastSignal.load(), SIGTERM);
}

}  // namespace
