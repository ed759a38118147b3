#pragma once

// Reads the state file's history on a read-only connection of its own: usage
// per period (from the per-minute samples) and pages of events. Used by the
// admin interface and by tallyctl, which may read the file while the daemon
// is down; WAL mode lets it read while the daemon writes.
//
// A period's figures: the largest and the average client count of its
// samples (an AppID absent from a sample counts 0 there), and the distinct
// clients seen: those present at its first sample plus those that connected
// after it, each UniqueID once. Periods without samples are left out.
//
// Threads: one thread at a time.

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/state_store.h"

namespace norla_server {

struct UsageFigures {
  std::size_t max = 0;
  double average = 0;
  std::size_t distinct = 0;
};

struct UsagePeriod {
  std::time_t start = 0;
  std::size_t samples = 0;
  UsageFigures clients;
  std::map<std::string, UsageFigures> byApp;
};

struct EventQuery {
  std::time_t from = 0;
  std::time_t to = std::numeric_limits<std::time_t>::max();  // excluded
  std::string uniqueId;  // "" for any
  std::string appId;     // "" for any
  std::int64_t after = 0;  // events with a greater id
  std::size_t limit = 100;
};

class HistoryQuery {
 public:
  explicit HistoryQuery(std::string const& path);
  ~HistoryQuery();
  HistoryQuery(HistoryQuery const&) = delete;
  HistoryQuery& operator=(HistoryQuery const&) = delete;

  // False when the file could not be opened; Error() says why.
  bool ok() const { return error_.empty(); }
  std::string const& Error() const { return error_; }

  // Periods of `step` seconds over [from, to), starting at multiples of
  // `step` from `origin` (0: whole UTC hours and days). `origin` <= `from`.
  bool Periods(std::time_t from, std::time_t to, std::int64_t step, std::time_t origin,
               std::vector<UsagePeriod>& periods);
  // Matching events in id order.
  bool Events(EventQuery const& query, std::vector<StoredEvent>& events);

 private:
  bool Figures(std::time_t from, std::time_t to, std::int64_t step, std::time_t origin,
               std::vector<UsagePeriod>& periods);
  bool Distinct(UsagePeriod& period, std::time_t firstSample, std::time_t end);
  bool Fail();

  sqlite3* db_ = nullptr;
  std::string error_;
  // Prepared on first use: Distinct runs once per period.
  std::unique_ptr<SqliteStatement> present_, presentByApp_, newcomers_;
};

}  // namespace norla_server
