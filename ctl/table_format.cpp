#include "ctl/table_format.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace tallyctl {

namespace {

using json = nlohmann::ordered_json;
using Row = std::vector<std::string>;

constexpr char kColumnGap[] = "  ";
constexpr std::array<std::pair<char const*, char const*>, 5> kClientColumns = {{
    {"UNIQUE ID", "unique_id"},
    {"APP ID", "app_id"},
    {"ADDRESS", "address"},
    {"LOGINS", "logins"},
    {"LAST SEEN", "last_seen"},
}};

// A non-empty array of two-member objects: a name and its value each.
bool IsPairList(json const& value) {
  if (!value.is_array() || value.empty()) return false;
  return std::all_of(value.begin(), value.end(), [](json const& item) {
    return item.is_object() && item.size() == 2 && item.begin().value().is_string();
  });
}

void Flatten(json const& object, std::string const& prefix,
             std::vector<std::pair<std::string, std::string>>& out) {
  for (auto const& [key, value] : object.items()) {
    if (value.is_object() && !value.empty()) {
      Flatten(value, prefix + key + ".", out);
    } else if (IsPairList(value)) {  // [{"app_id": "a", "clients": 3}] as "key.a: 3"
      for (json const& pair : value) {
        out.emplace_back(prefix + key + "." + TableFormat::Text(pair.begin().value()),
                         TableFormat::Text((++pair.begin()).value()));
      }
    } else {
      out.emplace_back(prefix + key, TableFormat::Text(value));
    }
  }
}

// Columns padded to their widest cell; the last one is not padded.
std::string Align(std::vector<Row> const& rows) {
  std::vector<std::size_t> widths;
  for (Row const& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string out;
  for (Row const& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      out += row[i];
      if (i + 1 < row.size()) out += std::string(widths[i] - row[i].size(), ' ') + kColumnGap;
    }
    out += '\n';
  }
  return out;
}

}  // namespace

std::string TableFormat::Columns(std::vector<Row> const& rows) {
  return Align(rows);
}

std::string TableFormat::Text(json const& value) {
  if (value.is_null()) return "-";
  if (value.is_string()) return value.get<std::string>();
  return value.dump();
}

std::string TableFormat::KeyValues(json const& object) {
  std::vector<std::pair<std::string, std::string>> fields;
  Flatten(object, "", fields);
  std::vector<Row> rows;
  for (auto& [key, value] : fields) rows.push_back({key + ":", value});
  return Align(rows);
}

std::string TableFormat::Clients(json const& clients) {
  std::vector<Row> rows(1);
  for (auto const& [title, field] : kClientColumns) rows[0].push_back(title);
  for (json const& client : clients) {
    Row row;
    for (auto const& [title, field] : kClientColumns) {
      row.push_back(client.contains(field) ? Text(client[field]) : "-");
    }
    rows.push_back(std::move(row));
  }
  return Align(rows);
}

}  // namespace tallyctl
