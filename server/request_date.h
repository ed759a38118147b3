#pragma once

// The Date field check of a request, against a given "today" so that it can
// be tested without the system clock.

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <ctime>
#include <string>
#include <string_view>

#include "protocol/reply_code.h"

namespace norla_server {

// Reads `value` like sscanf with "%04d/%02d/%02d" (so leading blanks before a
// number, a sign, and trailing text are all tolerated) and checks it against
// `today`: kReplyOk when acceptable, else kReplyDateUnreadable, kReplyDateInvalid
// or kReplyDateStale.
tally_protocol::ReplyCode CheckRequestDate(std::string const& value,
                                           boost::gregorian::date const& today);

// Reads three numbers as sscanf(text, "%04d/%02d/%02d") does, up to the first
// NUL: true, and all three set, when sscanf would return 3. Without sscanf,
// whose string stream set-up cost more than the rest of a request's checks.
bool ReadDateText(std::string_view text, int& year, int& month, int& day);

// The UTC calendar day of a time in seconds since the epoch.
boost::gregorian::date UtcDay(std::time_t when);

}  // namespace norla_server
