#include "base/utc_time.h"

#include <cstdio>

namespace tally {

namespace {

constexpr std::size_t kMaxEpochDigits = 12;

}  // namespace

bool ParseUtcTime(std::string_view text, std::time_t& time) {
  if (!text.empty() && text.size() <= kMaxEpochDigits &&
      text.find_first_not_of("0123456789") == text.npos) {
    time = static_cast<std::time_t>(std::stoll(std::string(text)));
    return true;
  }
  std::string const copy(text);
  std::tm parts{};
  int used = 0;
  bool const dateOnly = copy.size() == 10;
  int const fields =
      dateOnly ? std::sscanf(copy.c_str(), "%4d-%2d-%2d%n", &parts.tm_year, &parts.tm_mon,
                             &parts.tm_mday, &used)
               : std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &parts.tm_year,
                             &parts.tm_mon, &parts.tm_mday, &parts.tm_hour, &parts.tm_min,
                             &parts.tm_sec, &used);
  if (fields != (dateOnly ? 3 : 6) || static_cast<std::size_t>(used) != copy.size()) return false;
  std::tm const given = parts;
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  time = timegm(&parts);
  // timegm normalises 02-30 to 03-02: the fields must come back as given.
  return time != -1 && parts.tm_year + 1900 == given.tm_year && parts.tm_mon + 1 == given.tm_mon &&
         parts.tm_mday == given.tm_mday && parts.tm_hour == given.tm_hour &&
         parts.tm_min == given.tm_min && parts.tm_sec == given.tm_sec;
}

// Digits by hand: a listing formats two dates per client, and strftime's
// locale handling was a tenth of its cost.
std::string FormatUtcTime(std::time_t time) {
  std::tm parts{};
  gmtime_r(&time, &parts);
  int const year = parts.tm_year + 1900;
  if (year < 0 || year > 9999) {
    char text[48];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
  }
  char text[] = "0000-00-00T00:00:00Z";
  auto const put = [&](int at, int value, int width) {
    for (int i = at + width - 1; i >= at; --i, value /= 10) text[i] = static_cast<char>('0' + value % 10);
  };
  put(0, year, 4);
  put(5, parts.tm_mon + 1, 2);
  put(8, parts.tm_mday, 2);
  put(11, parts.tm_hour, 2);
  put(14, parts.tm_min, 2);
  put(17, parts.tm_sec, 2);
  return text;
}

}  // namespace tally
