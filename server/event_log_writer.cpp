#include "server/event_log_writer.h"

#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <utility>

#include "server/event_log.h"

namespace norla_server {

namespace {

struct SharedSlot {
  std::mutex mutex;
  std::shared_ptr<EventLogWriter> writer;
  int users = 0;
  bool exitHandlerInstalled = false;
};

// Never destroyed: OutputLog may still be called while statics are torn down.
SharedSlot& Slot() {
  static SharedSlot* slot = new SharedSlot;
  return *slot;
}

void StopSharedAtExit() {
  std::shared_ptr<EventLogWriter> writer;
  {
    std::lock_guard<std::mutex> lock(Slot().mutex);
    writer = std::move(Slot().writer);
    Slot().users = 0;
  }
  if (writer) writer->Stop();
}

}  // namespace

EventLogWriter::EventLogWriter(Options options) : options_(std::move(options)) {}

EventLogWriter::~EventLogWriter() {
  Stop();
}

bool EventLogWriter::Start() {
  std::lock_guard<std::mutex> stopLock(stopMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ || stopping_) return running_;
  }
  // The thread inherits the mask: it must never be the one a process signal
  // lands on, or the host's handlers would run on it.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  bool started = true;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (started) {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
  }
  return started;
}

bool EventLogWriter::Post(std::string event, std::string address, int count) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!running_ || stopping_) return false;
  if (queue_.size() >= options_.queueLimit) {
    lock.unlock();
    WriteEventLine(FormatEventLine(event, address, std::string(), count));
    return true;
  }
  std::uint64_t sequence = ++posted_;
  if (queue_.size() >= options_.lookupLimit) noLookupThrough_ = sequence;
  queue_.push_back(Line{std::move(event), std::move(address), count, sequence});
  bool const wake = idle_;
  idle_ = false;
  lock.unlock();
  if (wake) wake_.notify_one();
  return true;
}

void EventLogWriter::Stop() {
  std::lock_guard<std::mutex> stopLock(stopMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
}

void EventLogWriter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (queue_.empty()) {
      idle_ = true;
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      idle_ = false;
      if (queue_.empty()) return;
      if (!stopping_ && options_.gatherDelay.count() > 0) {
        wake_.wait_for(lock, options_.gatherDelay, [this] { return stopping_; });
      }
    }
    Line line = std::move(queue_.front());
    queue_.pop_front();
    bool mayResolve = !stopping_ && line.sequence > noLookupThrough_;
    lock.unlock();
    try {
      std::string host = HostFor(line.address, mayResolve);
      WriteEventLine(FormatEventLine(line.event, line.address, host, line.count));
    } catch (...) {
      // Out of memory while formatting: the line is lost, the writer is not.
    }
    lock.lock();
  }
}

std::string EventLogWriter::HostFor(std::string const& address, bool mayResolve) {
  if (address.empty() || !IsIpAddressText(address)) return {};
  auto now = options_.now ? options_.now() : std::chrono::steady_clock::now();
  auto cached = cache_.find(address);
  if (cached != cache_.end() && cached->second.expires > now) return cached->second.host;
  if (!mayResolve) return {};

  std::string host;
  try {
    host = options_.lookup ? options_.lookup(address) : GetReverseLookup(address);
  } catch (...) {
    host.clear();
  }
  now = options_.now ? options_.now() : std::chrono::steady_clock::now();
  if (cache_.size() >= options_.cacheLimit && cache_.find(address) == cache_.end()) {
    for (auto entry = cache_.begin(); entry != cache_.end();) {
      entry = entry->second.expires <= now ? cache_.erase(entry) : std::next(entry);
    }
    if (cache_.size() >= options_.cacheLimit) cache_.clear();
  }
  cache_[address] = CacheEntry{host, now + options_.cacheTtl};
  return host;
}

bool EventLogWriter::AcquireShared(Options options) {
  SharedSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (slot.users++ > 0) return slot.writer != nullptr;
  auto writer = std::make_shared<EventLogWriter>(std::move(options));
  if (!writer->Start()) return false;
  slot.writer = std::move(writer);
  if (!slot.exitHandlerInstalled) {
    // Lines still queued when the host returns from main must reach the sink.
    slot.exitHandlerInstalled = std::atexit(&StopSharedAtExit) == 0;
  }
  return true;
}

void EventLogWriter::ReleaseShared() {
  std::shared_ptr<EventLogWriter> writer;
  {
    SharedSlot& slot = Slot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.users == 0) return;
    if (--slot.users == 0) writer = std::move(slot.writer);
  }
  if (writer) writer->Stop();
}

std::shared_ptr<EventLogWriter> EventLogWriter::Shared() {
  SharedSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  return slot.writer;
}

}  // namespace norla_server
