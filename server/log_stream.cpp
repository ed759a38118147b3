#include "server/log_stream.h"

#include <pthread.h>
#include <syslog.h>

#include <atomic>
#include <utility>
#include <vector>

#include "base/signal_mask.h"

namespace norla_server {

namespace {

// Set on writer threads: a sink that logs again must not queue behind itself.
thread_local bool tl_onWriter = false;

// How often the writer looks again while the head line waits for its name:
// the deadline may be on an injected clock, and later lines' lookups are
// requested at each look.
constexpr std::chrono::milliseconds kLookupPoll{25};

constexpr int kEventPriority = LOG_INFO;
constexpr int kDroppedPriority = LOG_ERR;

std::string DroppedText(std::uint64_t count) {
  return "Log: " + std::to_string(count) +
         " lines dropped while the system log was not accepting them";
}

HostLookupPool::Options PoolOptions(LogStreamOptions const& options) {
  HostLookupPool::Options pool;
  pool.lookup = options.lookup;
  pool.now = options.now;
  pool.threads = options.lookupThreads;
  return pool;
}

}  // namespace

LogStream::LogStream(LogStreamOptions options)
    : options_(std::move(options)), lookups_(PoolOptions(options_), [this] {
        tally::MutexLock lock(&mutex_);
        wake_.SignalAll();
      }) {}

LogStream::~LogStream() {
  Flush(std::chrono::hours(1));
  if (thread_.joinable()) thread_.detach();  // stuck in the sink for an hour
}

namespace {

std::atomic<LogStream*> g_processStream{nullptr};

// Streams a forked child has put aside, kept reachable: never freed, as their
// state may be mid-change, and never reported as leaks.
struct RetiredStream {
  LogStream* stream;
  RetiredStream* next;
};
std::atomic<RetiredStream*> g_retiredStreams{nullptr};

// A fork copies only the forking thread: a child would inherit a stream whose
// writer does not exist in it (and perhaps a mutex that writer held). It gets
// a fresh one and leaves the old one alone.
void RenewProcessStreamInChild() {
  g_retiredStreams.store(new RetiredStream{g_processStream.load(), g_retiredStreams.load()});
  g_processStream.store(new LogStream);
}

}  // namespace

LogStream& LogStream::Process() {
  static bool const forkSafe = [] {
    g_processStream.store(new LogStream);
    return pthread_atfork(nullptr, nullptr, &RenewProcessStreamInChild) == 0;
  }();
  (void)forkSafe;
  return *g_processStream.load();
}

bool LogStream::PostText(int priority, std::string text) {
  return Post(Line{priority, false, std::move(text), std::string(), -1, TimePoint()});
}

bool LogStream::PostEvent(std::string event, std::string address, int count) {
  TimePoint const deadline = address.empty() ? TimePoint() : Now() + options_.lookupBound;
  return Post(Line{kEventPriority, true, std::move(event), std::move(address), count, deadline});
}

bool LogStream::Post(Line line) {
  if (tl_onWriter) return false;
  tally::MutexLock lock(&mutex_);
  if (!EnsureWriter()) return false;
  if (queue_.size() >= options_.queueLimit) {
    ++dropped_;
    droppedTotal_.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  if (dropped_ > 0) {
    queue_.push_back(Line{kDroppedPriority, false, DroppedText(dropped_), {}, -1, {}});
    dropped_ = 0;
    ++unrequested_;
  }
  queue_.push_back(std::move(line));
  ++unrequested_;
  bool const wake = idle_;
  idle_ = false;
  lock.Unlock();
  if (wake) wake_.Signal();
  return true;
}

bool LogStream::EnsureWriter() {
  if (running_) return true;
  if (thread_.joinable()) thread_.join();  // past its last use of the mutex
  flushing_ = false;
  idle_ = false;
  tally::BlockAsyncSignals blocked;
  try {
    thread_ = std::thread(&LogStream::Run, this);
    running_ = true;
    ++started_;
  } catch (...) {
  }
  return running_;
}

bool LogStream::Flush(std::chrono::milliseconds bound) {
  if (tl_onWriter) return false;
  auto const until = std::chrono::steady_clock::now() + bound;
  tally::MutexLock lock(&mutex_);
  std::uint64_t const run = started_;
  flushing_ = true;
  wake_.SignalAll();
  while (finished_ < run && stopped_.WaitUntil(&mutex_, until)) {
  }
  bool const done = finished_ >= run;
  std::thread ended;
  if (done && !running_) ended = std::move(thread_);
  lock.Unlock();
  if (ended.joinable()) ended.join();
  lookups_.Stop();
  return done;
}

void LogStream::Run() {
  tl_onWriter = true;
  tally::MutexLock lock(&mutex_);
  for (;;) {
    if (queue_.empty()) {
      if (dropped_ > 0) {
        std::string const text = DroppedText(std::exchange(dropped_, 0));
        lock.Unlock();
        Write(kDroppedPriority, text);
        lock.Lock();
      } else if (flushing_) {
        break;
      } else {
        WaitForLines();
      }
      continue;
    }
    RequestLookups();
    std::string host;
    if (!HostReady(queue_.front(), host)) {
      wake_.WaitFor(&mutex_, std::min<std::chrono::steady_clock::duration>(
                                 queue_.front().deadline - Now(), kLookupPoll));
      continue;
    }
    Line line = std::move(queue_.front());
    queue_.pop_front();
    lock.Unlock();
    try {
      Write(line.priority,
            line.event ? FormatEventLine(line.text, line.address, host, line.count) : line.text);
    } catch (...) {
      // Out of memory while formatting: the line is lost, the stream is not.
    }
    lock.Lock();
  }
  running_ = false;
  ++finished_;
  stopped_.SignalAll();
}

void LogStream::WaitForLines() {
  idle_ = true;
  while (!flushing_ && queue_.empty()) wake_.Wait(&mutex_);
  idle_ = false;
  if (!flushing_ && options_.gatherDelay.count() > 0) {
    auto const gathered = std::chrono::steady_clock::now() + options_.gatherDelay;
    while (!flushing_ && wake_.WaitUntil(&mutex_, gathered)) {
    }
  }
}

// Asks for the names of lines not seen yet, so that their lookups run while
// earlier lines are written. The pool is called without mutex_ held: its
// completions take mutex_.
void LogStream::RequestLookups() {
  if (unrequested_ == 0) return;
  std::vector<std::pair<std::string, TimePoint>> wanted;
  if (!flushing_) {
    for (auto line = queue_.end() - static_cast<std::ptrdiff_t>(unrequested_); line != queue_.end();
         ++line) {
      if (line->event && !line->address.empty()) wanted.emplace_back(line->address, line->deadline);
    }
  }
  unrequested_ = 0;
  if (wanted.empty()) return;
  mutex_.Unlock();
  for (auto const& [address, deadline] : wanted) {
    if (IsIpAddressText(address)) lookups_.Request(address, deadline);
  }
  mutex_.Lock();
}

bool LogStream::HostReady(Line const& line, std::string& host) {
  if (!line.event || line.address.empty()) return true;
  HostLookupPool::State const state = lookups_.Find(line.address, host);
  if (state == HostLookupPool::State::kKnown) return true;
  host.clear();
  return state != HostLookupPool::State::kPending || flushing_ || Now() >= line.deadline;
}

void LogStream::Write(int priority, std::string const& text) const {
  SyslogFunc sink = options_.sink != nullptr ? options_.sink : sg_syslogFunc.load();
  if (sink == nullptr) sink = &syslog;
  try {
    sink(priority, "%s", text.c_str());
  } catch (...) {
    // A throwing sink loses its line; the stream goes on.
  }
}

LogStream::TimePoint LogStream::Now() const {
  return options_.now ? options_.now() : std::chrono::steady_clock::now();
}

}  // namespace norla_server
