#pragma once

// Waiting on a thread that may wait (admin, sweep) for something a store
// answers on its own thread.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "base/mutex.h"

namespace norla_server {

// Calls `start` with a callback that takes the result (nothing: failed), and
// returns what the callback got within `limit`; nothing on time-out. A later
// call of the callback is dropped, so it may outlive the wait.
template <typename T>
std::optional<T> Await(std::chrono::milliseconds limit,
                       std::function<void(std::function<void(std::optional<T>)>)> const& start) {
  struct Shared {
    tally::Mutex mutex;
    tally::CondVar changed;
    bool ended GUARDED_BY(mutex) = false;
    std::optional<T> value GUARDED_BY(mutex);
  };
  auto shared = std::make_shared<Shared>();
  start([shared](std::optional<T> value) {
    tally::MutexLock lock(&shared->mutex);
    if (shared->ended) return;
    shared->ended = true;
    shared->value = std::move(value);
    shared->changed.SignalAll();
  });
  auto const deadline = std::chrono::steady_clock::now() + limit;
  tally::MutexLock lock(&shared->mutex);
  while (!shared->ended && shared->changed.WaitUntil(&shared->mutex, deadline)) {
  }
  shared->ended = true;
  return std::move(shared->value);
}

}  // namespace norla_server
