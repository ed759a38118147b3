#pragma once

// Reverse lookups of peer addresses for event lines, on a few threads, with a
// cache of names and misses. A dead name server can hold a lookup for many
// seconds, so lookups run side by side and nobody waits on one for longer
// than the deadline of the line that wants it.
//
// Workers start on the first request and end at Stop, each after the lookup
// it is in: Stop never waits for a hung resolver. A worker may so outlive the
// pool; it then holds only the shared state, and never calls `onDone` again.
//
// Threads: every member may be called from any thread. `onDone` runs on a
// worker after each finished lookup, with no lock of the pool held; Stop and
// the destructor wait for a call in progress, so never call them while
// holding a lock that `onDone` takes.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace norla_server {

class HostLookupPool {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Lookup = std::function<std::string(std::string const& address)>;
  using Clock = std::function<TimePoint()>;

  struct Options {
    Lookup lookup;  // null: GetReverseLookup
    Clock now;      // null: steady_clock::now
    std::size_t threads = 4;
    std::size_t jobLimit = 1024;  // queued lookups; more are refused
    std::chrono::seconds cacheTtl{300};
    std::size_t cacheLimit = 4096;  // entries; expired ones are purged first
  };

  enum class State { kKnown, kPending, kUnknown };

  HostLookupPool(Options options, std::function<void()> onDone);
  ~HostLookupPool();  // Stop()
  HostLookupPool(HostLookupPool const&) = delete;
  HostLookupPool& operator=(HostLookupPool const&) = delete;

  // kKnown with `host` set ("" for a miss or a name that is not a valid host
  // name) when cached; kPending while a lookup is queued or running.
  State Find(std::string const& address, std::string& host);

  // Queues a lookup of an IP address text unless it is cached or pending, or
  // the queue is full. A lookup not begun by `deadline` is skipped.
  void Request(std::string const& address, TimePoint deadline);

  // Drops queued lookups and lets the workers end. Idempotent.
  void Stop();

 private:
  struct Shared;

  static void Work(std::shared_ptr<Shared> shared, unsigned generation);
  void StartWorker();  // with shared_->mutex held

  std::shared_ptr<Shared> const shared_;
};

}  // namespace norla_server
