#include "ctl/state_file_usage.h"

#include <vector>

#include "base/utc_time.h"
#include "server/history_query.h"

namespace tallyctl {

namespace {

using json = nlohmann::ordered_json;
using norla_server::UsageFigures;
using norla_server::UsagePeriod;

json FiguresJson(UsageFigures const& figures) {
  return json{{"max", figures.max},
              {"average", figures.average},
              {"distinct_clients", figures.distinct}};
}

json PeriodJson(UsagePeriod const& period) {
  json body{{"start", tally::FormatUtcTime(period.start)}, {"samples", period.samples}};
  body.update(FiguresJson(period.clients));
  json byApp = json::object();
  for (auto const& [app, figures] : period.byApp) byApp[app] = FiguresJson(figures);
  body["by_app"] = std::move(byApp);
  return body;
}

}  // namespace

bool StateFileUsage::Read(std::string const& path, std::time_t from, std::time_t to,
                          std::int64_t step, json& usage, std::string& error) {
  norla_server::HistoryQuery query(path);
  std::vector<UsagePeriod> periods, total;
  if (!query.ok() || !query.Periods(from, to, step, 0, periods) ||
      !query.Periods(from, to, to - from, from, total)) {
    error = query.Error();
    return false;
  }
  usage = json{{"periods", json::array()}};
  for (UsagePeriod const& period : periods) usage["periods"].push_back(PeriodJson(period));
  usage["total"] = total.empty() ? json{{"by_app", json::object()}} : PeriodJson(total.front());
  return true;
}

}  // namespace tallyctl
