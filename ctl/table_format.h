#pragma once

// Human output from the admin interface's JSON: pure, so it is tested
// without a daemon.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tallyctl {

class TableFormat {
 public:
  // "key: value" lines with the values aligned; a nested object's members
  // become "outer.inner" keys, so fields the daemon adds later show as well.
  static std::string KeyValues(nlohmann::ordered_json const& object);

  // The "clients" array of a page as a table: UNIQUE ID, APP ID, ADDRESS,
  // LOGINS, LAST SEEN.
  static std::string Clients(nlohmann::ordered_json const& clients);

  // Rows of cells with each column padded to its widest cell.
  static std::string Columns(std::vector<std::vector<std::string>> const& rows);

  // A scalar as a person reads it: strings unquoted, null as "-".
  static std::string Text(nlohmann::ordered_json const& value);
};

}  // namespace tallyctl
