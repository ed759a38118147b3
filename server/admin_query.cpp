#include "server/admin_query.h"

#include <charconv>

#include "base/utc_time.h"

namespace tally_admin {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool UrlDecode(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int const high = HexValue(text[i + 1]);
    int const low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

bool ParseQuery(std::string_view text, QueryParams& params, std::string& why) {
  while (!text.empty()) {
    std::size_t const end = std::min(text.find('&'), text.size());
    std::string_view const pair = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    std::size_t const equals = std::min(pair.find('='), pair.size());
    std::string name, value;
    if (!UrlDecode(pair.substr(0, equals), name) ||
        !UrlDecode(pair.substr(std::min(equals + 1, pair.size())), value)) {
      why = "bad percent escape in the query";
      return false;
    }
    params[name] = value;
  }
  return true;
}

bool ParseWhole(std::string const& text, std::int64_t low, std::int64_t high, std::int64_t& value) {
  std::int64_t number = 0;
  auto const result = std::from_chars(text.data(), text.data() + text.size(), number);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size() || number < low ||
      number > high) {
    return false;
  }
  value = number;
  return true;
}

bool ParseCount(QueryParams const& params, char const* name, std::size_t high, std::size_t& value,
                std::string& why) {
  auto const found = params.find(name);
  std::int64_t number = 0;
  if (found == params.end()) return true;
  if (!ParseWhole(found->second, 1, static_cast<std::int64_t>(high), number)) {
    why = std::string(name) + " must be a whole number from 1 to " + std::to_string(high);
    return false;
  }
  value = static_cast<std::size_t>(number);
  return true;
}

bool ParseTimes(QueryParams const& params, std::time_t& from, std::time_t& to, std::string& why) {
  for (auto [name, time] : {std::pair{"from", &from}, std::pair{"to", &to}}) {
    auto const found = params.find(name);
    if (found != params.end() && !tally::ParseUtcTime(found->second, *time)) {
      why = std::string(name) +
            " must be a UTC time like 2026-12-06T21:00:00Z, a date or epoch seconds";
      return false;
    }
  }
  if (from < to) return true;
  why = "from must come before to";
  return false;
}

bool ParsePageQuery(QueryParams const& params, AdminClientQuery& query, std::string& why) {
  for (auto [name, field] : {std::pair{"app", &query.appId}, std::pair{"address", &query.address},
                             std::pair{"prefix", &query.prefix}, std::pair{"after", &query.after}}) {
    if (auto const found = params.find(name); found != params.end()) *field = found->second;
  }
  return ParseCount(params, "limit", kMaxPageLimit, query.limit, why);
}

bool ParseMinutes(QueryParams const& params, std::size_t& minutes, std::string& why) {
  minutes = 60;
  return ParseCount(params, "minutes", kMaxHistoryMinutes, minutes, why);
}

}  // namespace tally_admin
