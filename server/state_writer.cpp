#include "server/state_writer.h"

#include "base/signal_mask.h"
#include "server/event_log.h"
#include "server/service_transport_events.h"

namespace norla_server {

namespace {

constexpr int kPruneRows = 1000;
constexpr std::int64_t kPruneEverySeconds = 60;
constexpr std::time_t kSecondsPerDay = 86400;

}  // namespace

StateWriter::StateWriter(std::unique_ptr<StateStore> store, Options options)
    : clocks_(tally::Clocks::WithDefaults(options.clocks)),
      options_(std::move(options)),
      path_(store->Path()),
      store_(std::move(store)) {
  tally::BlockAsyncSignals blocked;
  thread_ = std::thread([this] { Run(); });
}

StateWriter::~StateWriter() {
  Stop();
}

void StateWriter::Put(StoredClient client) {
  std::string uniqueId = client.uniqueId;
  tally::MutexLock lock(&mutex_);
  queued_.clients[std::move(uniqueId)] = std::move(client);
}

void StateWriter::Remove(std::string const& uniqueId) {
  tally::MutexLock lock(&mutex_);
  queued_.clients[uniqueId] = std::nullopt;
}

void StateWriter::Add(StoredEvent event) {
  tally::MutexLock lock(&mutex_);
  if (queued_.events.size() >= options_.maxQueuedEvents) {
    ++droppedEvents_;
    return;
  }
  queued_.events.push_back(std::move(event));
}

void StateWriter::Add(StoredSample sample) {
  tally::MutexLock lock(&mutex_);
  queued_.samples.push_back(std::move(sample));
}

void StateWriter::Stop() {
  {
    tally::MutexLock lock(&mutex_);
    stopping_ = true;
  }
  wake_.Signal();
  if (thread_.joinable()) thread_.join();
}

void StateWriter::Run() {
  tally::MutexLock lock(&mutex_);
  for (;;) {
    bool const stopping = stopping_;
    if (!stopping) wake_.WaitFor(&mutex_, options_.period);
    StateBatch queued = std::move(queued_);
    queued_ = StateBatch();
    std::size_t const dropped = droppedEvents_;
    droppedEvents_ = 0;
    lock.Unlock();
    if (dropped > 0) {
      KServiceTransportEvents::LogError("State file " + path_ + ": " + std::to_string(dropped) +
                                        " events dropped, the writer was behind");
    }
    WriteHeld(std::move(queued));
    if (!stopping) PruneStep();
    lock.Lock();
    if (stopping) return;
  }
}

void StateWriter::WriteHeld(StateBatch queued) {
  held_.Merge(std::move(queued));
  if (held_.events.size() > options_.maxQueuedEvents) {
    auto const excess = static_cast<std::ptrdiff_t>(held_.events.size() - options_.maxQueuedEvents);
    held_.events.erase(held_.events.begin(), held_.events.begin() + excess);
    KServiceTransportEvents::LogError("State file " + path_ + ": " + std::to_string(excess) +
                                      " events dropped while it could not be written");
  }
  if (held_.Empty()) return;
  std::string error;
  if (!store_->Write(held_, clocks_.wall(), error)) {
    if (!failing_) {
      KServiceTransportEvents::LogError("State file " + path_ + ": cannot write (" + error +
                                        "); keeping the changes in memory and retrying");
    }
    failing_ = true;
    return;
  }
  held_ = StateBatch();
  written_.fetch_add(1);
  if (failing_) OutputLog("", ("State file " + path_ + " written again").c_str(), -1, nullptr, false);
  failing_ = false;
}

void StateWriter::PruneStep() {
  std::int64_t const now = clocks_.monotonic();
  if (failing_ || now < nextPrune_) return;
  std::time_t const wall = clocks_.wall();
  std::string error;
  long const removed =
      store_->Prune(wall - static_cast<std::time_t>(options_.eventsDays) * kSecondsPerDay,
                    wall - static_cast<std::time_t>(options_.historyDays) * kSecondsPerDay,
                    kPruneRows, error);
  // A full step suggests more: the next one a turn later, not a minute.
  if (removed < kPruneRows) nextPrune_ = now + kPruneEverySeconds;
}

}  // namespace norla_server
