#pragma once

// The register of clients keyed by UniqueID, without sockets or a log. Every
// operation returns what happened as a value, so that a table kept elsewhere
// (a shared store) can stand behind the same calls.
//
// Locks: an implementation guards itself (the `clientsMutex` role), so every
// call is safe from any thread. Callers may hold requestMutex; the table's
// lock always comes after it. The listener runs with the table's lock held, in
// the order of the changes, and must not call back into the table.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/client.h"

namespace norla_server {

enum class TableResult : std::uint8_t {
  kCreated,      // a new entry, count 1
  kRenewed,      // ALIVE of a registered entry
  kCountedUp,    // LOGIN of a registered entry
  kCountedDown,  // EXIT with LOGINs left
  kRemoved,      // the last EXIT, or a release
  kNotFound,     // EXIT or release of a UniqueID that is not registered
  kFull,         // a new UniqueID while the register is full: nothing added
};

// The event lines of the register.
enum class TableEvent : std::uint8_t {
  kNone,
  kConnect,       // "Connect"
  kDisconnect,    // "Disconnect"
  kTimeout,       // "Disconnect(Timeout)"
  kRegisterFull,  // "Register full", error priority
  kRegisterRoom,  // "Register has room again"
};

struct TableLine {
  TableEvent event = TableEvent::kNone;
  std::string uniqueId;
  std::string peer;       // the entry's recorded peer; empty for register lines
  std::size_t count = 0;  // entries right after this change
  std::string appId;      // the entry's; empty for register lines
};

struct TableOutcome {
  TableResult result = TableResult::kNotFound;
  std::size_t count = 0;  // entries after the call
  TableLine line;         // Connect or Disconnect, or kNone
  TableEvent registerLine = TableEvent::kNone;  // crossing of the limit, at `count`
};

// A copy of one entry, as look-ups, pages and snapshots return it.
struct ClientEntry {
  std::string uniqueId;
  TClient client;
  std::int64_t idleSeconds = 0;  // by the monotonic clock; Restore rebases on it
};

struct PageQuery {
  std::string after;      // entries with a greater UniqueID; "" from the first
  std::size_t limit = 100;
  std::string appId;      // "" for any
  std::string peer;       // "" for any
  std::string prefix;     // UniqueIDs that begin with it; "" for any
};

class ClientTableListener {
 public:
  // A request's or a release's change, with the ids of that call. `entry` is
  // the entry as the change left it, valid during the call only; null when it
  // was removed, or when the table keeps its entries elsewhere.
  virtual void OnChanged(std::string const& uniqueId, std::string const& appId,
                         TableOutcome const& outcome, TClient const* entry) = 0;
  // An expired entry, just before it is removed.
  virtual void OnExpiring(std::string const& uniqueId) = 0;
  // The lines of one slice of a sweep, in key order, after its removals.
  virtual void OnSwept(std::vector<TableLine> const& lines) = 0;

 protected:
  ~ClientTableListener() = default;
};

class ClientTable {
 public:
  virtual ~ClientTable() = default;

  // Set before the table is shared between threads.
  virtual void SetListener(ClientTableListener* listener) = 0;
  // `timeoutSeconds`: idle time kept; one second more expires. `maxClients`:
  // entries at most, 0 for no limit.
  virtual void SetLimits(std::uint64_t timeoutSeconds, std::uint64_t maxClients) = 0;

  // LOGIN (`login`) or ALIVE: renews a registered entry, else adds one unless
  // the register is full.
  virtual TableOutcome RegisterOrRenew(std::string const& uniqueId, std::string const& appId,
                                       std::string const& peer, bool login) = 0;
  // EXIT: one LOGIN fewer; the entry goes with its last.
  virtual TableOutcome Leave(std::string const& uniqueId, std::string const& appId) = 0;
  // Removes the entry whatever its login count.
  virtual TableOutcome Release(std::string const& uniqueId) = 0;

  virtual std::optional<ClientEntry> Find(std::string const& uniqueId) = 0;
  // Up to `limit` matching entries after `after`, sorted by UniqueID. The
  // entries are examined in slices, each under the lock on its own.
  virtual std::vector<ClientEntry> Page(PageQuery const& query) = 0;
  virtual std::size_t Count() = 0;
  // Entries per AppID, in AppID order; AppIDs without entries are left out.
  virtual std::vector<std::pair<std::string, std::size_t>> CountsByApp() = 0;

  // Removes every entry idle longer than the time-out, in key order; returns
  // how many. Requests are served between its slices.
  virtual std::size_t SweepExpired() = 0;

  virtual std::vector<ClientEntry> Snapshot() = 0;
  // Replaces the contents; no listener call and no line.
  virtual void Restore(std::vector<ClientEntry> entries) = 0;
};

// How a change sent to a store that answers later ended.
enum class StoreStatus : std::uint8_t {
  kDone,      // made (or refused) as `outcome` says
  kTimedOut,  // no answer in time yet: the change may still be made, and then
              // kDone follows
  kFailed,    // not made: the store is unreachable or stopped
};

struct StoreReply {
  StoreStatus status = StoreStatus::kFailed;
  TableOutcome outcome;
  std::string appId;  // the entry's AppID when one was removed
};

// A table kept elsewhere (shared by several instances). Its changes complete
// later on the table's own thread, so a request never waits for it; the
// synchronous calls above wait, and are for the admin and sweep threads only.
//
// Changes are not told to the listener: the caller has the reply and logs it
// under its own lock. Sweeps are (OnExpiring after the removal, then OnSwept).
class AsyncClientTable : public ClientTable {
 public:
  using Done = std::function<void(StoreReply const& reply)>;

  // `done` runs once with kDone or kFailed, before that once with kTimedOut
  // when the store is slow; on the table's thread, or at once on the calling
  // thread when the store is unreachable.
  virtual void RegisterOrRenewAsync(std::string const& uniqueId, std::string const& appId,
                                    std::string const& peer, bool login, Done done) = 0;
  virtual void LeaveAsync(std::string const& uniqueId, std::string const& appId, Done done) = 0;
  virtual void ReleaseAsync(std::string const& uniqueId, Done done) = 0;

  // The register's size at the last answer; never waits.
  virtual std::size_t LastKnownCount() const = 0;
  // The register's size now for a reply that changes nothing (other
  // instances change it too), or the last known one when the store cannot
  // answer in time. `done` runs once, where the changes' would.
  virtual void CountAsync(std::function<void(std::size_t count)> done) = 0;
  // Changes that got no answer in time, since creation.
  virtual std::uint64_t Timeouts() const = 0;
  // Ends the table's thread; pending changes end as kFailed. Before the
  // callers' own resources go away.
  virtual void Stop() = 0;
};

}  // namespace norla_server
