#pragma once

// Carries the register's changes, events and samples to the state file in
// batches: callers only queue (a copy, under a short lock of this object), a
// thread of its own writes one transaction about every period, so no request
// ever waits on the disk. A crash loses at most the last period.
//
// When a write fails (full disk, read-only file system) one error line says
// so, the batch is kept in memory and merged with the next; one info line says
// when writing works again. Queued events are bounded: past the bound the
// oldest go, counted in a line. Every few turns it deletes a small step of
// events and samples older than their retention.
//
// Locks: mutex_ guards the queue; callers may hold the request and table
// locks (it comes after them) and nothing is called with it held. The store
// is used by the writer's thread alone.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "base/clocks.h"
#include "base/mutex.h"
#include "server/state_store.h"

namespace norla_server {

class StateWriter {
 public:
  struct Options {
    std::chrono::milliseconds period{1000};
    unsigned int historyDays = 400;
    unsigned int eventsDays = 90;
    std::size_t maxQueuedEvents = 1000000;
    tally::Clocks clocks;
  };

  // Starts the thread.
  StateWriter(std::unique_ptr<StateStore> store, Options options);
  // Stop().
  ~StateWriter();
  StateWriter(StateWriter const&) = delete;
  StateWriter& operator=(StateWriter const&) = delete;

  void Put(StoredClient client) EXCLUDES(mutex_);
  void Remove(std::string const& uniqueId) EXCLUDES(mutex_);
  void Add(StoredEvent event) EXCLUDES(mutex_);
  void Add(StoredSample sample) EXCLUDES(mutex_);

  // Writes what is queued, then ends the thread. Idempotent.
  void Stop() EXCLUDES(mutex_);
  // Batches written so far.
  std::uint64_t Written() const { return written_.load(); }

 private:
  void Run() EXCLUDES(mutex_);
  // Writes `batch` (the held one with the queue on top); keeps it on failure.
  void WriteHeld(StateBatch queued);
  void PruneStep();

  tally::Clocks const clocks_;
  Options const options_;
  std::string const path_;

  tally::Mutex mutex_;
  tally::CondVar wake_;
  StateBatch queued_ GUARDED_BY(mutex_);
  std::size_t droppedEvents_ GUARDED_BY(mutex_) = 0;
  bool stopping_ GUARDED_BY(mutex_) = false;

  // The thread's own.
  std::unique_ptr<StateStore> store_;
  StateBatch held_;
  bool failing_ = false;
  std::int64_t nextPrune_ = 0;  // monotonic seconds
  std::atomic<std::uint64_t> written_{0};
  std::thread thread_;
};

}  // namespace norla_server
