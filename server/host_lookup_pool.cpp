#include "server/host_lookup_pool.h"

#include <deque>
#include <map>
#include <thread>
#include <utility>

#include "base/mutex.h"
#include "base/signal_mask.h"
#include "server/event_log.h"

namespace norla_server {

struct HostLookupPool::Shared {
  struct CacheEntry {
    std::string host;
    TimePoint expires;
  };

  Shared(Options o, std::function<void()> d) : options(std::move(o)), onDone(std::move(d)) {}

  Options const options;
  std::function<void()> const onDone;
  tally::Mutex mutex;
  tally::CondVar changed;
  std::deque<std::string> jobs GUARDED_BY(mutex);
  // Queued or running, with the latest deadline.
  std::map<std::string, TimePoint> pending GUARDED_BY(mutex);
  std::map<std::string, CacheEntry> cache GUARDED_BY(mutex);
  unsigned generation GUARDED_BY(mutex) = 0;  // Stop moves it on; older workers end
  std::size_t workers GUARDED_BY(mutex) = 0;  // of the current generation
  std::size_t idle GUARDED_BY(mutex) = 0;     // of those, waiting for a job
  int callbacks GUARDED_BY(mutex) = 0;        // onDone calls in progress

  TimePoint Now() const { return options.now ? options.now() : std::chrono::steady_clock::now(); }
  void Store(std::string const& address, std::string host) REQUIRES(mutex);
};

HostLookupPool::HostLookupPool(Options options, std::function<void()> onDone)
    : shared_(std::make_shared<Shared>(std::move(options), std::move(onDone))) {}

HostLookupPool::~HostLookupPool() {
  Stop();
}

HostLookupPool::State HostLookupPool::Find(std::string const& address, std::string& host) {
  tally::MutexLock lock(&shared_->mutex);
  auto cached = shared_->cache.find(address);
  if (cached != shared_->cache.end() && cached->second.expires > shared_->Now()) {
    host = cached->second.host;
    return State::kKnown;
  }
  return shared_->pending.count(address) != 0 ? State::kPending : State::kUnknown;
}

// Workers block the asynchronous signals, so that none of the host's handlers runs
// on them. The lock rule is stated here, as the header cannot name Shared's
// mutex.
void HostLookupPool::StartWorker() REQUIRES(shared_->mutex) {
  tally::BlockAsyncSignals blocked;
  try {
    std::thread(&HostLookupPool::Work, shared_, shared_->generation).detach();
    ++shared_->workers;
  } catch (...) {
    // Without a worker the lines wait for their deadline and go without names.
  }
}

void HostLookupPool::Request(std::string const& address, TimePoint deadline) {
  tally::MutexLock lock(&shared_->mutex);
  auto cached = shared_->cache.find(address);
  if (cached != shared_->cache.end() && cached->second.expires > shared_->Now()) return;
  auto pending = shared_->pending.find(address);
  if (pending != shared_->pending.end()) {
    pending->second = std::max(pending->second, deadline);
    return;
  }
  if (shared_->jobs.size() >= shared_->options.jobLimit) return;
  shared_->pending.emplace(address, deadline);
  shared_->jobs.push_back(address);
  if (shared_->idle < shared_->jobs.size() && shared_->workers < shared_->options.threads) {
    StartWorker();
  }
  lock.Unlock();
  shared_->changed.Signal();
}

void HostLookupPool::Stop() {
  tally::MutexLock lock(&shared_->mutex);
  ++shared_->generation;
  shared_->workers = 0;
  shared_->idle = 0;
  shared_->jobs.clear();
  shared_->pending.clear();
  shared_->changed.SignalAll();
  while (shared_->callbacks != 0) shared_->changed.Wait(&shared_->mutex);
}

void HostLookupPool::Work(std::shared_ptr<Shared> shared, unsigned generation) {
  tally::MutexLock lock(&shared->mutex);
  for (;;) {
    ++shared->idle;
    while (shared->generation == generation && shared->jobs.empty()) {
      shared->changed.Wait(&shared->mutex);
    }
    if (shared->generation != generation) return;
    --shared->idle;
    std::string address = std::move(shared->jobs.front());
    shared->jobs.pop_front();
    if (shared->pending[address] <= shared->Now()) {  // nobody waits for it any more
      shared->pending.erase(address);
      continue;
    }
    lock.Unlock();
    std::string host;
    try {
      host = shared->options.lookup ? shared->options.lookup(address) : GetReverseLookup(address);
    } catch (...) {
      host.clear();
    }
    lock.Lock();
    if (shared->generation != generation) return;
    shared->Store(address, IsValidHostName(host) ? std::move(host) : std::string());
    ++shared->callbacks;
    lock.Unlock();
    if (shared->onDone) shared->onDone();
    lock.Lock();
    if (--shared->callbacks == 0) shared->changed.SignalAll();
  }
}

void HostLookupPool::Shared::Store(std::string const& address, std::string host) {
  pending.erase(address);
  TimePoint const now = Now();
  if (cache.size() >= options.cacheLimit && cache.find(address) == cache.end()) {
    for (auto entry = cache.begin(); entry != cache.end();) {
      entry = entry->second.expires <= now ? cache.erase(entry) : std::next(entry);
    }
    if (cache.size() >= options.cacheLimit) cache.clear();
  }
  cache[address] = CacheEntry{std::move(host), now + options.cacheTtl};
}

}  // namespace norla_server
