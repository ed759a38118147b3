#pragma once

// The query strings and path pieces of admin requests: percent-decoding and
// the rules of each parameter. Pure; every refusal says why.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>

#include "server/admin_source.h"

namespace tally_admin {

constexpr std::size_t kMaxPageLimit = 10000;
constexpr std::size_t kMaxHistoryMinutes = 1440;

using QueryParams = std::map<std::string, std::string>;

// Percent-decoding; '+' stays '+' (UniqueIDs may hold it). False on a bad escape.
bool UrlDecode(std::string_view text, std::string& out);

// Every name=value of `text`, decoded; a later name wins.
bool ParseQuery(std::string_view text, QueryParams& params, std::string& why);

// A whole number from `low` to `high`; false on anything else.
bool ParseWhole(std::string const& text, std::int64_t low, std::int64_t high, std::int64_t& value);

// The parameter `name`, when present, as a whole number from 1 to `high`
// into `value` (kept when absent); false with `why` on anything else.
bool ParseCount(QueryParams const& params, char const* name, std::size_t high, std::size_t& value,
                std::string& why);

// `from` and `to` (each kept when absent), which must be in that order.
bool ParseTimes(QueryParams const& params, std::time_t& from, std::time_t& to, std::string& why);

// The client list's `app`, `address`, `prefix`, `after` and `limit`.
bool ParsePageQuery(QueryParams const& params, AdminClientQuery& query, std::string& why);

// The history's `minutes`, 60 when absent.
bool ParseMinutes(QueryParams const& params, std::size_t& minutes, std::string& why);

}  // namespace tally_admin
