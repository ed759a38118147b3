#pragma once

// The Date field check of a request, against a given "today" so that it can
// be tested without the system clock.

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <ctime>
#include <string>

namespace norla_server {

// Reply codes of the check; 0 means the date is acceptable.
constexpr int kDateOk = 0;
constexpr int kDateUnreadable = 602;  // not three numbers as year/month/day
constexpr int kDateInvalid = 603;     // out of range or not a calendar date
constexpr int kDateStale = 604;       // 3 or more days away from today

// Reads `value` like sscanf with "%04d/%02d/%02d" (so leading blanks before a
// number, a sign, and trailing text are all tolerated) and checks it against
// `today`.
int CheckRequestDate(std::string const& value, boost::gregorian::date const& today);

// The UTC calendar day of a time in seconds since the epoch.
boost::gregorian::date UtcDay(std::time_t when);

}  // namespace norla_server
