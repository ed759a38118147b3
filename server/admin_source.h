#pragma once

// What the admin interface asks of the service. The admin layer knows nothing
// of the service beyond this interface, so it builds and is tested on its own.
//
// Threads: called on the admin thread only. Implementations hold the
// service's locks briefly (a page is a copy) and never for a whole table.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tally_admin {

struct AdminStatus {
  std::string version;
  std::time_t startTime = 0;
  std::int64_t uptimeSeconds = 0;
  unsigned int port = 0;
  std::size_t currentClients = 0;
  std::size_t peakClients = 0;
  std::time_t peakTime = 0;  // 0: no client yet
  std::uint64_t clientTimeoutSeconds = 0;
  std::uint64_t maxClients = 0;                               // 0: no limit
  std::vector<std::pair<int, std::uint64_t>> requestsByCode;  // reply code, count
  std::size_t denyPatterns = 0;
  std::size_t allowPatterns = 0;
  std::time_t listsLoadedAt = 0;
  std::vector<std::pair<std::string, std::size_t>> clientsByApp;  // largest first, then "other"
};

struct AdminClient {
  std::string uniqueId;
  std::string appId;
  std::string address;
  std::uint32_t logins = 0;
  std::time_t firstSeen = 0;
  std::time_t lastSeen = 0;
  std::int64_t idleSeconds = 0;
};

struct AdminClientQuery {
  std::string after;  // UniqueIDs greater than this; "" from the first
  std::size_t limit = 100;
  std::string prefix;   // UniqueIDs beginning with it; "" for any
  std::string appId;    // "" for any
  std::string address;  // "" for any
};

struct AdminReload {
  bool ok = false;
  std::size_t denyPatterns = 0;
  std::size_t allowPatterns = 0;
  std::string failure;  // why not, when !ok
};

// One minute of the client count.
struct AdminSample {
  std::time_t time = 0;
  std::size_t clients = 0;
  std::vector<std::pair<std::string, std::size_t>> byApp;  // largest first, then "other"
};

// Usage over a period: the largest and average client count, and the
// distinct clients seen.
struct AdminFigures {
  std::size_t max = 0;
  double average = 0;
  std::size_t distinct = 0;  // 0 without a state file: only the file keeps events
};

struct AdminPeriod {
  std::time_t start = 0;
  std::size_t samples = 0;  // minutes sampled
  AdminFigures clients;
  std::vector<std::pair<std::string, AdminFigures>> byApp;  // in AppID order
};

struct AdminRange {
  std::time_t from = 0;
  std::time_t to = 0;          // excluded
  std::int64_t stepSeconds = 0;  // periods start at whole multiples of it (UTC)
};

struct AdminUsage {
  std::vector<AdminPeriod> periods;  // those with samples
  AdminPeriod total;                 // the whole range as one period
};

struct AdminEventQuery {
  std::time_t from = 0;
  std::time_t to = 0;  // excluded
  std::string uniqueId;  // "" for any
  std::string appId;     // "" for any
  std::int64_t after = 0;  // events with a greater id
  std::size_t limit = 100;
};

struct AdminEvent {
  std::int64_t id = 0;
  std::time_t time = 0;
  std::string event;  // as in the log: "Connect", "Disconnect(Timeout)", ...
  std::string uniqueId;
  std::string appId;
  std::string address;
};

class IAdminSource {
 public:
  virtual AdminStatus Status() = 0;
  // Up to `limit` matching clients sorted by UniqueID.
  virtual std::vector<AdminClient> Clients(AdminClientQuery const& query) = 0;
  virtual std::optional<AdminClient> Client(std::string const& uniqueId) = 0;
  // Removes the entry whatever its login count; false when unknown.
  virtual bool Release(std::string const& uniqueId) = 0;
  // Reads the access lists again, as a reload signal does.
  virtual AdminReload Reload() = 0;
  // Prometheus text format 0.0.4.
  virtual std::string Metrics() = 0;
  // The per-minute samples of the last `minutes` minutes, oldest first.
  virtual std::vector<AdminSample> History(std::size_t minutes) = 0;
  // Whether a state file keeps usage and events; without one Events fails
  // and Usage covers the in-memory samples alone, without distinct clients.
  virtual bool HasStateFile() = 0;
  // False with `why` when the state file cannot be read.
  virtual bool Usage(AdminRange const& range, AdminUsage& usage, std::string& why) = 0;
  virtual bool Events(AdminEventQuery const& query, std::vector<AdminEvent>& events,
                      std::string& why) = 0;

 protected:
  ~IAdminSource() = default;
};

}  // namespace tally_admin
