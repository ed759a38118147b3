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
  TClient entry;  // the entry after a change that kept it (created, renewed, counted)
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
  // A request's or a release's change, with the ids of that call.
  virtual void OnChanged(std::string const& uniqueId, std::string const& appId,
                         TableOutcome const& outcome) = 0;
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

}  // namespace norla_server
