#include "daemon/signals.h"

std::atomic<int> g_stopRequested{0};
std::atomic<int> g_lastSignal{0};
std::atomic<int> g_reloadRequested{0};

namespace {

constexpr int kTerminatingSignals[] = {SIGTERM, SIGINT, SIGTTOU, SIGTTIN, SIGTSTP};
// Held like the terminating ones, so a request lands only inside the wait.
constexpr int kWaitedSignals[] = {SIGTERM, SIGINT, SIGTTOU, SIGTTIN, SIGTSTP, SIGHUP};

}  // namespace

void signalHandler(int signal) {
  g_lastSignal.store(signal);
  g_stopRequested.store(1);
}

void reloadSignalHandler(int) {
  g_reloadRequested.store(1);
}

void childSignalHandler(int) {}

sigset_t BlockTerminatingSignals() {
  sigset_t block;
  sigemptyset(&block);
  for (int const signal : kWaitedSignals) sigaddset(&block, signal);
  sigset_t waitMask;
  pthread_sigmask(SIG_BLOCK, &block, &waitMask);
  for (int const signal : kWaitedSignals) sigdelset(&waitMask, signal);
  return waitMask;
}

bool InstallSignalHandlers() {
  bool ok = true;
  for (int const signal : kTerminatingSignals) {
    if (::signal(signal, signalHandler) == SIG_ERR) ok = false;
  }
  if (::signal(SIGHUP, reloadSignalHandler) == SIG_ERR) ok = false;
  if (::signal(SIGCHLD, childSignalHandler) == SIG_ERR) ok = false;
  return ok;
}

int StopExitStatus(int lastSignal, bool standalone) {
  if (lastSignal == SIGINT && standalone) return 0;
  return 50 + lastSignal;
}
