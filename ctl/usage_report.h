#pragma once

// The rows of `tallyctl report` from a usage answer: the admin interface's
// /api/v1/history?from=&to=&step= or the same shape read from the state file.
// Pure, so it is tested without a daemon.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ctl/ctl_command.h"

namespace tallyctl {

class UsageReport {
 public:
  struct Row {
    std::string label;  // the period's start, or the AppID
    std::size_t peak = 0;
    double average = 0;
    std::optional<std::size_t> distinct;  // none without a state file
  };

  // One row per period, or per AppID of the answer's total.
  static std::vector<Row> Rows(nlohmann::ordered_json const& usage, ReportBy by);
  static std::string Table(std::vector<Row> const& rows, ReportBy by);
  // With a header line; fields quoted where they need it, unknown ones empty.
  static std::string Csv(std::vector<Row> const& rows, ReportBy by);
};

}  // namespace tallyctl
