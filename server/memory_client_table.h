#pragma once

// The in-memory client table: an ordered map under one mutex.
//
// A sweep holds the lock for one slice at a time (a bounded number of entries
// and about a millisecond), steps aside for every call waiting, then resumes
// at the next key, so no request waits long behind a million expiring
// entries. A sweep that removed many entries gives the freed memory back to
// the system afterwards.
//
// Locks: clientsMutex guards the entries and limits; every call takes it
// itself, so none may be made with it held (a listener must not call back).
//
// Clocks are injected: the wall clock only stamps entries, the monotonic one
// (whole seconds) decides idleness.

#include <atomic>
#include <functional>
#include <map>

#include "base/clocks.h"
#include "base/mutex.h"
#include "server/client_table.h"

namespace norla_server {

class MemoryClientTable : public ClientTable {
 public:
  using Clocks = tally::Clocks;

  explicit MemoryClientTable(Clocks clocks = Clocks());

  void SetListener(ClientTableListener* listener) override { listener_ = listener; }
  void SetLimits(std::uint64_t timeoutSeconds, std::uint64_t maxClients) override
      EXCLUDES(clientsMutex);

  TableOutcome RegisterOrRenew(std::string const& uniqueId, std::string const& appId,
                               std::string const& peer, bool login) override EXCLUDES(clientsMutex);
  TableOutcome Leave(std::string const& uniqueId, std::string const& appId) override
      EXCLUDES(clientsMutex);
  TableOutcome Release(std::string const& uniqueId) override EXCLUDES(clientsMutex);

  std::optional<ClientEntry> Find(std::string const& uniqueId) override EXCLUDES(clientsMutex);
  std::vector<ClientEntry> Page(PageQuery const& query) override EXCLUDES(clientsMutex);
  std::size_t Count() override EXCLUDES(clientsMutex);
  std::vector<std::pair<std::string, std::size_t>> CountsByApp() override EXCLUDES(clientsMutex);

  std::size_t SweepExpired() override EXCLUDES(clientsMutex);

  std::vector<ClientEntry> Snapshot() override EXCLUDES(clientsMutex);
  void Restore(std::vector<ClientEntry> entries) override EXCLUDES(clientsMutex);

  // Names the lock to callers that order a lock of their own before it.
  tally::Mutex& ClientsMutex() RETURN_CAPABILITY(clientsMutex) { return clientsMutex; }

 private:
  using Map = std::map<std::string, TClient>;

  // clientsMutex for any call but the sweep, counted in `waiting_` until held.
  class SCOPED_CAPABILITY CallLock {
   public:
    explicit CallLock(MemoryClientTable* table) ACQUIRE(table->clientsMutex);
    ~CallLock() RELEASE();
    CallLock(CallLock const&) = delete;
    CallLock& operator=(CallLock const&) = delete;

   private:
    MemoryClientTable* const table_;
  };

  TableOutcome Remove(Map::iterator entry, std::string const& appId) REQUIRES(clientsMutex);
  TableEvent NoteRemoval() REQUIRES(clientsMutex);
  // Keeps appCounts_ in step with one entry added (+1) or removed (-1).
  void CountApp(std::string const& appId, int change) REQUIRES(clientsMutex);
  void Notify(std::string const& uniqueId, std::string const& appId, TableOutcome const& outcome,
              TClient const* entry)
      REQUIRES(clientsMutex);
  ClientEntry Copy(Map::value_type const& entry, std::int64_t now) const;
  // One slice of a sweep from `resume` (the first key not yet examined);
  // false when the table's end was reached. Takes clientsMutex for the slice.
  bool SweepSlice(std::int64_t now, std::string& resume, std::size_t& removed)
      EXCLUDES(clientsMutex);

  Clocks const clocks_;
  ClientTableListener* listener_ = nullptr;
  // Calls waiting for clientsMutex: the sweep lets them in between slices,
  // as a mutex just released is usually retaken by the thread releasing it.
  std::atomic<int> waiting_{0};
  tally::Mutex clientsMutex;
  Map clients GUARDED_BY(clientsMutex);
  // Kept with every insertion and removal, so reading it never walks `clients`.
  std::map<std::string, std::size_t> appCounts_ GUARDED_BY(clientsMutex);
  std::int64_t timeoutSeconds_ GUARDED_BY(clientsMutex) = 5 * 60;
  std::uint64_t maxClients_ GUARDED_BY(clientsMutex) = 0;
  bool full_ GUARDED_BY(clientsMutex) = false;  // the last limit line said "full"
};

}  // namespace norla_server
