#include "ctl/usage_report.h"

#include <cstdio>

#include "ctl/table_format.h"

namespace tallyctl {

namespace {

using json = nlohmann::ordered_json;

constexpr std::size_t kDateLength = 10;  // "2026-12-06"
constexpr std::size_t kHourLength = 13;  // "2026-12-06T21"

UsageReport::Row RowOf(std::string label, json const& figures) {
  UsageReport::Row row{std::move(label), figures.value("max", std::size_t{0}),
                       figures.value("average", 0.0), std::nullopt};
  auto const distinct = figures.find("distinct_clients");
  if (distinct != figures.end() && distinct->is_number()) row.distinct = distinct->get<std::size_t>();
  return row;
}

std::string Distinct(UsageReport::Row const& row, char const* unknown) {
  return row.distinct ? std::to_string(*row.distinct) : unknown;
}

std::string Average(double average) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", average);
  return text;
}

std::string CsvField(std::string const& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char const c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

std::vector<UsageReport::Row> UsageReport::Rows(json const& usage, ReportBy by) {
  std::vector<Row> rows;
  if (by == ReportBy::kApp) {
    for (auto const& [app, figures] : usage["total"]["by_app"].items()) rows.push_back(RowOf(app, figures));
    return rows;
  }
  for (json const& period : usage["periods"]) {
    std::string const start = TableFormat::Text(period["start"]);
    std::string label = by == ReportBy::kDay ? start.substr(0, kDateLength)
                                             : start.substr(0, kHourLength) + ":00Z";
    rows.push_back(RowOf(std::move(label), period));
  }
  return rows;
}

std::string UsageReport::Table(std::vector<Row> const& rows, ReportBy by) {
  std::vector<std::vector<std::string>> cells{
      {by == ReportBy::kApp ? "APP ID" : "PERIOD", "PEAK", "AVERAGE", "DISTINCT"}};
  for (Row const& row : rows) {
    cells.push_back({row.label, std::to_string(row.peak), Average(row.average),
                     Distinct(row, "-")});
  }
  return TableFormat::Columns(cells);
}

std::string UsageReport::Csv(std::vector<Row> const& rows, ReportBy by) {
  std::string out = by == ReportBy::kApp ? "app_id" : "period";
  out += ",peak,average,distinct\n";
  for (Row const& row : rows) {
    out += CsvField(row.label) + "," + std::to_string(row.peak) + "," + Average(row.average) +
           "," + Distinct(row, "") + "\n";
  }
  return out;
}

}  // namespace tallyctl
