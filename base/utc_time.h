#pragma once

// Dates as operators and the admin interface write them, always UTC:
// "2026-12-06T21:08:43Z", "2026-12-06" (its midnight) or seconds since the
// epoch ("1796511323").

#include <ctime>
#include <string>
#include <string_view>

namespace tally {

// False for anything else, including impossible dates like 2026-02-30.
bool ParseUtcTime(std::string_view text, std::time_t& time);

// "2026-12-06T21:08:43Z".
std::string FormatUtcTime(std::time_t time);

}  // namespace tally
