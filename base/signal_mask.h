#pragma once

// Threads the service starts must never be where a process signal lands, or
// the host's handlers would run on them. Start every thread inside a
// BlockAsyncSignals scope: the new thread inherits the mask, and the caller's
// own mask comes back when the scope ends. Synchronous signals (a fault in
// the thread itself) stay unblocked.

#include <signal.h>

namespace tally {

class BlockAsyncSignals {
 public:
  BlockAsyncSignals();
  ~BlockAsyncSignals();
  BlockAsyncSignals(BlockAsyncSignals const&) = delete;
  BlockAsyncSignals& operator=(BlockAsyncSignals const&) = delete;

 private:
  sigset_t saved_;
};

}  // namespace tally
