#include "server/memory_client_table.h"

#include <malloc.h>

#include <chrono>
#include <climits>
#include <thread>

namespace norla_server {

namespace {

// A slice ends after this many entries examined or removed, or this much
// time, whichever first; the clock is read every kSliceClockStride entries.
// Its lines are posted with the lock held, so removals are bounded too.
constexpr std::size_t kSliceMaxEntries = 16384;
constexpr std::size_t kSliceMaxRemovals = 1024;
constexpr std::chrono::microseconds kSliceMaxTime{1000};
constexpr std::size_t kSliceClockStride = 64;
// A sweep that removed at least this many entries returns the memory.
constexpr std::size_t kTrimAfterRemovals = 10000;
// Entries a page examines per hold of the lock: a filter that matches few of
// a million entries must not hold requests up for the whole scan.
constexpr std::size_t kPageScanSlice = 1024;

}  // namespace

MemoryClientTable::MemoryClientTable(Clocks clocks)
    : clocks_(Clocks::WithDefaults(std::move(clocks))) {}

MemoryClientTable::CallLock::CallLock(MemoryClientTable* table) : table_(table) {
  ++table->waiting_;
  table->clientsMutex.Lock();
  --table->waiting_;
}

MemoryClientTable::CallLock::~CallLock() {
  table_->clientsMutex.Unlock();
}

void MemoryClientTable::SetLimits(std::uint64_t timeoutSeconds, std::uint64_t maxClients) {
  CallLock lock(this);
  timeoutSeconds_ = static_cast<std::int64_t>(std::min<std::uint64_t>(timeoutSeconds, INT_MAX));
  maxClients_ = maxClients;
}

TableOutcome MemoryClientTable::RegisterOrRenew(std::string const& uniqueId,
                                                std::string const& appId, std::string const& peer,
                                                bool login) {
  CallLock lock(this);
  TableOutcome outcome;
  TClient const* entry = nullptr;
  // One descent serves both the renewal and the insertion.
  auto found = clients.lower_bound(uniqueId);
  if (found != clients.end() && found->first == uniqueId) {
    TClient& client = found->second;
    client.lastSeen = clocks_.wall();
    client.lastActive = clocks_.monotonic();
    // Saturate rather than wrap: a count of 0 would make the entry unremovable by EXIT.
    if (login && client.loginCount < UINT32_MAX) ++client.loginCount;
    outcome.result = login ? TableResult::kCountedUp : TableResult::kRenewed;
    entry = &client;
  } else if (maxClients_ != 0 && clients.size() >= maxClients_) {
    outcome.result = TableResult::kFull;
  } else {
    std::time_t const wall = clocks_.wall();
    auto const created = clients.emplace_hint(
        found, uniqueId, TClient{appId, wall, wall, clocks_.monotonic(), 1, peer});
    CountApp(appId, +1);
    outcome.result = TableResult::kCreated;
    entry = &created->second;
    outcome.line = TableLine{TableEvent::kConnect, uniqueId, peer, clients.size(), appId};
    if (!full_ && maxClients_ != 0 && clients.size() >= maxClients_) {
      full_ = true;
      outcome.registerLine = TableEvent::kRegisterFull;
    }
  }
  outcome.count = clients.size();
  Notify(uniqueId, appId, outcome, entry);
  return outcome;
}

TableOutcome MemoryClientTable::Leave(std::string const& uniqueId, std::string const& appId) {
  CallLock lock(this);
  auto found = clients.find(uniqueId);
  if (found != clients.end() && found->second.loginCount > 1) {
    --found->second.loginCount;
    TableOutcome outcome;
    outcome.result = TableResult::kCountedDown;
    outcome.count = clients.size();
    Notify(uniqueId, appId, outcome, &found->second);
    return outcome;
  }
  return Remove(found, appId);
}

TableOutcome MemoryClientTable::Release(std::string const& uniqueId) {
  CallLock lock(this);
  auto found = clients.find(uniqueId);
  return Remove(found, found != clients.end() ? found->second.appId : std::string());
}

TableOutcome MemoryClientTable::Remove(Map::iterator entry, std::string const& appId) {
  TableOutcome outcome;
  if (entry == clients.end()) {
    outcome.count = clients.size();
    return outcome;  // kNotFound; nothing to tell the listener
  }
  std::string const uniqueId = entry->first;
  std::string peer = std::move(entry->second.peer);
  std::string entryApp = entry->second.appId;  // `appId` may refer to it
  CountApp(entryApp, -1);
  clients.erase(entry);
  outcome.result = TableResult::kRemoved;
  outcome.count = clients.size();
  outcome.line = TableLine{TableEvent::kDisconnect, uniqueId, std::move(peer), clients.size(),
                           std::move(entryApp)};
  outcome.registerLine = NoteRemoval();
  Notify(uniqueId, appId, outcome, nullptr);
  return outcome;
}

TableEvent MemoryClientTable::NoteRemoval() {
  if (!full_ || (maxClients_ != 0 && clients.size() >= maxClients_)) return TableEvent::kNone;
  full_ = false;
  return TableEvent::kRegisterRoom;
}

void MemoryClientTable::CountApp(std::string const& appId, int change) {
  if (change > 0) {
    ++appCounts_[appId];
    return;
  }
  auto found = appCounts_.find(appId);
  if (found != appCounts_.end() && --found->second == 0) appCounts_.erase(found);
}

void MemoryClientTable::Notify(std::string const& uniqueId, std::string const& appId,
                               TableOutcome const& outcome, TClient const* entry) {
  if (listener_ != nullptr) listener_->OnChanged(uniqueId, appId, outcome, entry);
}

ClientEntry MemoryClientTable::Copy(Map::value_type const& entry, std::int64_t now) const {
  return ClientEntry{entry.first, entry.second, now - entry.second.lastActive};
}

std::optional<ClientEntry> MemoryClientTable::Find(std::string const& uniqueId) {
  std::int64_t const now = clocks_.monotonic();
  CallLock lock(this);
  auto found = clients.find(uniqueId);
  if (found == clients.end()) return std::nullopt;
  return Copy(*found, now);
}

std::vector<ClientEntry> MemoryClientTable::Page(PageQuery const& query) {
  std::int64_t const now = clocks_.monotonic();
  std::vector<ClientEntry> page;
  // Matches of the prefix are adjacent in key order: the scan starts at the
  // first and ends after the last.
  std::string resume = std::max(query.after, query.prefix);
  bool inclusive = query.prefix > query.after;
  bool done = false;
  for (bool first = true; !done && page.size() < query.limit; first = false) {
    // The lock is not fair: step aside for every call waiting, as a sweep does.
    while (!first && waiting_.load() > 0) std::this_thread::yield();
    CallLock lock(this);
    auto entry = inclusive ? clients.lower_bound(resume) : clients.upper_bound(resume);
    for (std::size_t seen = 0; page.size() < query.limit; ++entry, ++seen) {
      if (entry == clients.end() || entry->first.compare(0, query.prefix.size(), query.prefix) != 0) {
        done = true;
        break;
      }
      if (seen == kPageScanSlice) {
        resume = entry->first;
        inclusive = true;
        break;
      }
      if (!query.appId.empty() && entry->second.appId != query.appId) continue;
      if (!query.peer.empty() && entry->second.peer != query.peer) continue;
      page.push_back(Copy(*entry, now));
    }
  }
  return page;
}

std::size_t MemoryClientTable::Count() {
  CallLock lock(this);
  return clients.size();
}

std::vector<std::pair<std::string, std::size_t>> MemoryClientTable::CountsByApp() {
  CallLock lock(this);
  return {appCounts_.begin(), appCounts_.end()};
}

std::size_t MemoryClientTable::SweepExpired() {
  // One reading for the whole sweep: an entry renewed meanwhile reads as not idle.
  std::int64_t const now = clocks_.monotonic();
  std::string resume;
  std::size_t removed = 0;
  while (SweepSlice(now, resume, removed)) {
    while (waiting_.load() > 0) std::this_thread::yield();
  }
  if (removed >= kTrimAfterRemovals) malloc_trim(0);
  return removed;
}

bool MemoryClientTable::SweepSlice(std::int64_t now, std::string& resume, std::size_t& removed) {
  std::vector<TableLine> lines;
  tally::MutexLock lock(&clientsMutex);
  auto const deadline = std::chrono::steady_clock::now() + kSliceMaxTime;
  auto entry = clients.lower_bound(resume);
  for (std::size_t seen = 1; entry != clients.end(); ++seen) {
    if (seen % kSliceClockStride == 0 &&
        (seen >= kSliceMaxEntries || lines.size() >= kSliceMaxRemovals ||
         std::chrono::steady_clock::now() >= deadline)) {
      break;
    }
    if (now - entry->second.lastActive <= timeoutSeconds_) {
      ++entry;
      continue;
    }
    if (listener_ != nullptr) listener_->OnExpiring(entry->first);
    TableLine line{TableEvent::kTimeout, entry->first, std::move(entry->second.peer), 0,
                   entry->second.appId};
    CountApp(entry->second.appId, -1);
    entry = clients.erase(entry);
    ++removed;
    line.count = clients.size();
    lines.push_back(std::move(line));
    if (NoteRemoval() == TableEvent::kRegisterRoom) {
      lines.push_back(TableLine{TableEvent::kRegisterRoom, {}, {}, clients.size(), {}});
    }
  }
  if (listener_ != nullptr && !lines.empty()) listener_->OnSwept(lines);
  if (entry == clients.end()) return false;
  resume = entry->first;
  return true;
}

std::vector<ClientEntry> MemoryClientTable::Snapshot() {
  std::int64_t const now = clocks_.monotonic();
  std::vector<ClientEntry> entries;
  CallLock lock(this);
  entries.reserve(clients.size());
  for (auto const& entry : clients) entries.push_back(Copy(entry, now));
  return entries;
}

void MemoryClientTable::Restore(std::vector<ClientEntry> entries) {
  std::int64_t const now = clocks_.monotonic();
  Map restored;
  std::map<std::string, std::size_t> counts;
  for (ClientEntry& entry : entries) {
    entry.client.lastActive = now - entry.idleSeconds;
    restored.emplace_hint(restored.end(), std::move(entry.uniqueId), std::move(entry.client));
  }
  for (auto const& entry : restored) ++counts[entry.second.appId];
  CallLock lock(this);
  clients.swap(restored);
  appCounts_.swap(counts);
  full_ = maxClients_ != 0 && clients.size() >= maxClients_;
  // The old entries are freed after the lock is released, with `restored`.
}

}  // namespace norla_server
