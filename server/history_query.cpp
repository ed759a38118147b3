#include "server/history_query.h"

#include <algorithm>

namespace norla_server {

namespace {

constexpr int kBusyTimeoutMilliseconds = 1000;

}  // namespace

HistoryQuery::HistoryQuery(std::string const& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    error_ = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    return;
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMilliseconds);
}

HistoryQuery::~HistoryQuery() {
  present_.reset();
  presentByApp_.reset();
  newcomers_.reset();
  sqlite3_close(db_);
}

bool HistoryQuery::Fail() {
  error_ = sqlite3_errmsg(db_);
  return false;
}

bool HistoryQuery::Periods(std::time_t from, std::time_t to, std::int64_t step, std::time_t origin,
                           std::vector<UsagePeriod>& periods) {
  periods.clear();
  if (db_ == nullptr) return false;
  error_.clear();
  if (step <= 0 || origin > from) {
    error_ = "bad period";
    return false;
  }
  return Figures(from, to, step, origin, periods);
}

bool HistoryQuery::Figures(std::time_t from, std::time_t to, std::int64_t step, std::time_t origin,
                           std::vector<UsagePeriod>& periods) {
  SqliteStatement totals(db_,
                         "SELECT (time - ?1) / ?2 AS period, count(*), max(clients), avg(clients), "
                         "min(time) FROM samples WHERE time >= ?3 AND time < ?4 "
                         "GROUP BY period ORDER BY period");
  if (!totals.ok()) return Fail();
  totals.Bind(1, origin).Bind(2, step).Bind(3, from).Bind(4, to);
  std::vector<std::time_t> firstSamples;
  int result;
  while ((result = totals.Step()) == SQLITE_ROW) {
    UsagePeriod period;
    period.start = origin + totals.Int(0) * step;
    period.samples = static_cast<std::size_t>(totals.Int(1));
    period.clients.max = static_cast<std::size_t>(totals.Int(2));
    period.clients.average = totals.Real(3);
    periods.push_back(std::move(period));
    firstSamples.push_back(totals.Int(4));
  }
  if (result != SQLITE_DONE) return Fail();

  SqliteStatement apps(db_,
                       "SELECT (time - ?1) / ?2 AS period, app_id, max(clients), sum(clients) "
                       "FROM app_samples WHERE time >= ?3 AND time < ?4 GROUP BY period, app_id "
                       "ORDER BY period");
  if (!apps.ok()) return Fail();
  apps.Bind(1, origin).Bind(2, step).Bind(3, from).Bind(4, to);
  auto period = periods.begin();
  while ((result = apps.Step()) == SQLITE_ROW) {
    std::time_t const start = origin + apps.Int(0) * step;
    period = std::find_if(period, periods.end(), [start](auto const& p) { return p.start == start; });
    if (period == periods.end()) break;  // app rows always come with a total
    UsageFigures& figures = period->byApp[apps.Text(1)];
    figures.max = static_cast<std::size_t>(apps.Int(2));
    figures.average = static_cast<double>(apps.Int(3)) / static_cast<double>(period->samples);
  }
  if (result != SQLITE_DONE && result != SQLITE_ROW) return Fail();
  for (std::size_t i = 0; i < periods.size(); ++i) {
    std::time_t const end = std::min<std::time_t>(periods[i].start + step, to);
    if (!Distinct(periods[i], firstSamples[i], end)) return false;
  }
  return true;
}

bool HistoryQuery::Distinct(UsagePeriod& period, std::time_t firstSample, std::time_t end) {
  if (!present_) {
    present_ = std::make_unique<SqliteStatement>(db_, "SELECT clients FROM samples WHERE time = ?1");
    presentByApp_ = std::make_unique<SqliteStatement>(
        db_, "SELECT app_id, clients FROM app_samples WHERE time = ?1");
    // Per UniqueID its first event after the sample; those that are a Connect are newcomers.
    newcomers_ = std::make_unique<SqliteStatement>(
        db_,
        "SELECT app_id, count(*) FROM (SELECT app_id, event, min(id) FROM events "
        "WHERE time > ?1 AND time < ?2 GROUP BY unique_id) WHERE event = 'Connect' "
        "GROUP BY app_id");
  }
  if (!present_->ok() || !presentByApp_->ok() || !newcomers_->ok()) return Fail();
  present_->Reset();
  if (present_->Bind(1, firstSample).Step() == SQLITE_ROW) {
    period.clients.distinct = static_cast<std::size_t>(present_->Int(0));
  }
  presentByApp_->Reset();
  presentByApp_->Bind(1, firstSample);
  int result;
  while ((result = presentByApp_->Step()) == SQLITE_ROW) {
    period.byApp[presentByApp_->Text(0)].distinct = static_cast<std::size_t>(presentByApp_->Int(1));
  }
  if (result != SQLITE_DONE) return Fail();
  newcomers_->Reset();
  newcomers_->Bind(1, firstSample).Bind(2, end);
  while ((result = newcomers_->Step()) == SQLITE_ROW) {
    auto const count = static_cast<std::size_t>(newcomers_->Int(1));
    period.byApp[newcomers_->Text(0)].distinct += count;
    period.clients.distinct += count;
  }
  return result == SQLITE_DONE || Fail();
}

bool HistoryQuery::Events(EventQuery const& query, std::vector<StoredEvent>& events) {
  events.clear();
  if (db_ == nullptr) return false;
  error_.clear();
  SqliteStatement rows(db_,
                       "SELECT id, time, event, unique_id, app_id, address FROM events "
                       "WHERE id > ?1 AND time >= ?2 AND time < ?3 "
                       "AND (?4 = '' OR unique_id = ?4) AND (?5 = '' OR app_id = ?5) "
                       "ORDER BY id LIMIT ?6");
  if (!rows.ok()) return Fail();
  rows.Bind(1, query.after).Bind(2, query.from).Bind(3, query.to).Bind(4, query.uniqueId);
  rows.Bind(5, query.appId).Bind(6, static_cast<std::int64_t>(query.limit));
  int result;
  while ((result = rows.Step()) == SQLITE_ROW) {
    events.push_back(StoredEvent{rows.Int(0), rows.Int(1), rows.Text(2), rows.Text(3), rows.Text(4),
                                 rows.Text(5)});
  }
  return result == SQLITE_DONE || Fail();
}

}  // namespace norla_server
