#include "base/signal_mask.h"

#include <pthread.h>

#include <initializer_list>

namespace tally {

BlockAsyncSignals::BlockAsyncSignals() {
  sigset_t blocked;
  sigfillset(&blocked);
  for (int const synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) {
    sigdelset(&blocked, synchronous);
  }
  pthread_sigmask(SIG_BLOCK, &blocked, &saved_);
}

BlockAsyncSignals::~BlockAsyncSignals() {
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

}  // namespace tally
