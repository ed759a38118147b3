#pragma once

// The process's one ordered stream of log lines: the host's own lines and the
// service's event lines reach the sink in the order they were posted, from a
// single writer thread. Posting never waits for the sink, for a name lookup or
// for another poster beyond a short mutex: a system logger that stops reading
// stalls only the writer.
//
//   - At most `queueLimit` lines wait; further ones are dropped and counted,
//     and the count is written in their place as one error line once lines
//     flow again.
//   - An event line with an IP address waits for the reverse lookup of that
//     address (run on HostLookupPool) until `lookupBound` after it was posted,
//     and is then written without a name; lines behind it wait for it.
//   - The writer is started by the first post, woken only from its idle wait,
//     and then gathers lines for `gatherDelay`: under load one wake-up serves
//     many lines instead of a thread switch on the request path for each.
//
// Threads: everything may be called from any thread. On the writer thread
// (that is, from within the sink) posts and flushes are refused, so a sink
// that logs can write directly instead. `mutex_` guards the queue and the
// writer's state; it is never held around the sink or a call into the lookup
// pool, whose completions take it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>

#include "base/mutex.h"
#include "server/event_log.h"
#include "server/host_lookup_pool.h"

namespace norla_server {

struct LogStreamOptions {
  SyslogFunc sink = nullptr;      // null: sg_syslogFunc at each line, or syslog
  HostLookupPool::Lookup lookup;  // null: GetReverseLookup
  HostLookupPool::Clock now;      // null: steady_clock::now
  std::size_t queueLimit = 65536;
  std::size_t lookupThreads = 4;
  std::chrono::milliseconds lookupBound{2000};
  std::chrono::milliseconds gatherDelay{5};
};

class LogStream {
 public:
  using TimePoint = HostLookupPool::TimePoint;

  explicit LogStream(LogStreamOptions options = LogStreamOptions());
  ~LogStream();  // Flush without a bound
  LogStream(LogStream const&) = delete;
  LogStream& operator=(LogStream const&) = delete;

  // Queue one line, written at `priority` with the format "%s". False on the
  // writer thread or when no writer thread can be started; true also when the
  // line was dropped for a full queue.
  bool PostText(int priority, std::string text) EXCLUDES(mutex_);
  // An event line at priority 6 (see FormatEventLine); `address` is looked up
  // when it is an IP address.
  bool PostEvent(std::string event, std::string address, int count) EXCLUDES(mutex_);

  // Hands every queued line to the sink, with cached names only, and ends the
  // writer thread, waiting at most `bound`. True when all was written. Lines
  // still queued then are written as soon as the sink takes them; a later post
  // starts a new writer. False on the writer thread.
  bool Flush(std::chrono::milliseconds bound) EXCLUDES(mutex_);

  // The process-wide stream, with the default options. Never destroyed: a
  // writer stuck in the sink must not hold up or outlive its state at exit.
  // A forked child starts with a fresh one, as the writer is not copied.
  static LogStream& Process();

  // Lines dropped for a full queue since creation; any thread, no lock.
  std::uint64_t DroppedTotal() const { return droppedTotal_.load(std::memory_order_relaxed); }

 private:
  struct Line {
    int priority;
    bool event;
    std::string text;     // the host's line, or the event
    std::string address;  // event lines only; "" for none
    int count;
    TimePoint deadline;  // of the lookup
  };

  bool Post(Line line) EXCLUDES(mutex_);
  bool EnsureWriter() REQUIRES(mutex_);
  void Run() EXCLUDES(mutex_);
  void WaitForLines() REQUIRES(mutex_);
  // Lets go of mutex_ while it asks the pool.
  void RequestLookups() REQUIRES(mutex_);
  bool HostReady(Line const& line, std::string& host) REQUIRES(mutex_);
  void Write(int priority, std::string const& text) const;
  TimePoint Now() const;

  LogStreamOptions const options_;
  HostLookupPool lookups_;
  tally::Mutex mutex_;
  tally::CondVar wake_;     // the writer waits on it
  tally::CondVar stopped_;  // Flush waits on it
  std::deque<Line> queue_ GUARDED_BY(mutex_);
  // Lines at the back whose lookups are not requested yet.
  std::size_t unrequested_ GUARDED_BY(mutex_) = 0;
  std::uint64_t dropped_ GUARDED_BY(mutex_) = 0;   // since the last report
  std::atomic<std::uint64_t> droppedTotal_{0};
  bool running_ GUARDED_BY(mutex_) = false;        // the writer has not finished its run
  std::uint64_t started_ GUARDED_BY(mutex_) = 0;   // writer runs begun
  std::uint64_t finished_ GUARDED_BY(mutex_) = 0;  // and ended
  bool idle_ GUARDED_BY(mutex_) = false;  // the writer waits for a first line and must be woken
  bool flushing_ GUARDED_BY(mutex_) = false;
  std::thread thread_ GUARDED_BY(mutex_);
};

}  // namespace norla_server
