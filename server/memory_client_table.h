#pragma once

// The in-memory client table: an ordered map under one mutex.
//
// A sweep holds the lock for one slice at a time (a bounded number of entries
// and about a millisecond), steps aside for every call waiting, then resumes
// at the next key, so no request waits long behind a million expiring entries. A sweep that removed many
// entries gives the freed memory back to the system afterwards.
//
// Clocks are injected: the wall clock only stamps entries, the monotonic one
// (whole seconds) decides idleness.

#include <atomic>
#include <boost/thread/locks.hpp>
#include <boost/thread/mutex.hpp>
#include <functional>
#include <map>

#include "server/client_table.h"

namespace norla_server {

class MemoryClientTable : public ClientTable {
 public:
  struct Clocks {
    std::function<std::time_t()> wall;          // null: std::time
    std::function<std::int64_t()> monotonic;    // null: steady_clock, whole seconds
  };

  explicit MemoryClientTable(Clocks clocks = Clocks());

  void SetListener(ClientTableListener* listener) override { listener_ = listener; }
  void SetLimits(std::uint64_t timeoutSeconds, std::uint64_t maxClients) override;

  TableOutcome RegisterOrRenew(std::string const& uniqueId, std::string const& appId,
                               std::string const& peer, bool login) override;
  TableOutcome Leave(std::string const& uniqueId, std::string const& appId) override;
  TableOutcome Release(std::string const& uniqueId) override;

  std::optional<ClientEntry> Find(std::string const& uniqueId) override;
  std::vector<ClientEntry> Page(PageQuery const& query) override;
  std::size_t Count() override;

  std::size_t SweepExpired() override;

  std::vector<ClientEntry> Snapshot() override;
  void Restore(std::vector<ClientEntry> entries) override;

 private:
  using Map = std::map<std::string, TClient>;

  // clientsMutex for any call but the sweep, counted in `waiting_` until held.
  boost::unique_lock<boost::mutex> LockForCall();
  // All with clientsMutex held.
  TableOutcome Remove(Map::iterator entry, std::string const& appId);
  TableEvent NoteRemoval();
  void Notify(std::string const& uniqueId, std::string const& appId, TableOutcome const& outcome);
  ClientEntry Copy(Map::value_type const& entry, std::int64_t now) const;
  // One slice of a sweep from `resume` (the first key not yet examined);
  // false when the table's end was reached.
  bool SweepSlice(std::int64_t now, std::string& resume, std::size_t& removed);

  Clocks const clocks_;
  ClientTableListener* listener_ = nullptr;
  // Calls waiting for clientsMutex: the sweep lets them in between slices,
  // as a mutex just released is usually retaken by the thread releasing it.
  std::atomic<int> waiting_{0};
  boost::mutex clientsMutex;  // guards everything below
  Map clients;
  std::int64_t timeoutSeconds_ = 5 * 60;
  std::uint64_t maxClients_ = 0;
  bool full_ = false;  // the last limit line said "full"
};

}  // namespace norla_server
