#pragma once

// The background writer of event lines. Reverse lookups of peer addresses can
// take seconds when a name service is slow or dead, and OutputLog is called
// with the request handler's locks held; so OutputLog only queues the line's
// parts here, and one logging thread resolves, formats and writes them to the
// sink in the order they were posted.
//
// Lookups are cached per address (names and misses alike) for a few minutes.
// The queue never blocks a caller and never drops a line:
//   - beyond `lookupLimit` queued lines, every line queued so far is written
//     with a cached name or none, so the backlog clears as soon as the lookup
//     in progress returns;
//   - beyond `queueLimit` the caller writes the line itself without a host
//     name (the one case where a line can overtake queued ones).
// Stop() writes every queued line before it returns, using only cached
// names: a dead resolver must not hold a shutdown for seconds per address.
//
// The thread is woken only from its idle wait, and then gathers lines for
// `gatherDelay` before writing them: under load one wake-up serves many lines,
// instead of a thread switch on the request path for each. A line therefore
// reaches the sink up to `gatherDelay` after it was posted.
//
// Threads: Post may be called from any thread. Start and Stop from the owner.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace norla_server {

struct EventLogWriterOptions {
  using Lookup = std::function<std::string(std::string const& address)>;
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  Lookup lookup;  // null: GetReverseLookup
  std::size_t lookupLimit = 1024;
  std::size_t queueLimit = 16384;
  std::chrono::seconds cacheTtl{300};
  std::size_t cacheLimit = 4096;  // entries; expired ones are purged first
  std::chrono::milliseconds gatherDelay{5};
  Clock now;                      // null: steady_clock::now
};

class EventLogWriter {
 public:
  using Lookup = EventLogWriterOptions::Lookup;
  using Clock = EventLogWriterOptions::Clock;

  using Options = EventLogWriterOptions;

  explicit EventLogWriter(Options options = Options());
  ~EventLogWriter();  // Stop()
  EventLogWriter(EventLogWriter const&) = delete;
  EventLogWriter& operator=(EventLogWriter const&) = delete;

  // Starts the logging thread with every signal blocked in it. False when the
  // thread could not be started; Post then refuses every line.
  bool Start();

  // Queues one line (or writes it at once when the queue is over its hard
  // limit). False when the writer is not running: the caller writes the line.
  bool Post(std::string event, std::string address, int count);

  // Writes every queued line, then ends the thread. Idempotent.
  void Stop();

  // The process-wide writer that OutputLog hands its lines to. Acquire and
  // release are counted: the first AcquireShared starts it (with `options`),
  // the last ReleaseShared drains and stops it. A writer still running at
  // process exit is drained by an exit handler.
  static bool AcquireShared(Options options = Options());
  static void ReleaseShared();
  static std::shared_ptr<EventLogWriter> Shared();  // null when none runs

 private:
  struct Line {
    std::string event;
    std::string address;
    int count;
    std::uint64_t sequence;
  };
  struct CacheEntry {
    std::string host;
    std::chrono::steady_clock::time_point expires;
  };

  void Run();
  // Logging thread only: the cache is not shared.
  std::string HostFor(std::string const& address, bool mayResolve);

  Options const options_;
  std::mutex stopMutex_;  // serialises Start and Stop
  std::mutex mutex_;      // guards everything below except cache_
  std::condition_variable wake_;
  std::deque<Line> queue_;
  std::uint64_t posted_ = 0;
  std::uint64_t noLookupThrough_ = 0;  // lines up to this sequence are not resolved
  bool running_ = false;
  bool idle_ = false;  // the thread waits for a first line and must be woken
  bool stopping_ = false;
  std::thread thread_;
  std::map<std::string, CacheEntry> cache_;
};

}  // namespace norla_server
