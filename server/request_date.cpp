#include "server/request_date.h"

#include <boost/date_time/posix_time/conversion.hpp>
#include <stdexcept>

namespace norla_server {

using namespace tally_protocol;

namespace {

bool IsScanfSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One "%0<width>d": blanks skipped, then at most `width` characters, a sign
// included, of which at least one digit.
bool ReadNumber(char const*& at, char const* end, long width, int& value) {
  while (at != end && IsScanfSpace(*at)) ++at;
  char const* const limit = end - at > width ? at + width : end;
  bool negative = false;
  if (at != limit && (*at == '+' || *at == '-')) negative = *at++ == '-';
  if (at == limit || !IsDigit(*at)) return false;
  int number = 0;
  while (at != limit && IsDigit(*at)) number = number * 10 + (*at++ - '0');
  value = negative ? -number : number;
  return true;
}

bool ReadSlash(char const*& at, char const* end) { return at != end && *at++ == '/'; }

}  // namespace

bool ReadDateText(std::string_view text, int& year, int& month, int& day) {
  text = text.substr(0, text.find('\0'));
  char const* at = text.data();
  char const* const end = at + text.size();
  return ReadNumber(at, end, 4, year) && ReadSlash(at, end) && ReadNumber(at, end, 2, month) &&
         ReadSlash(at, end) && ReadNumber(at, end, 2, day);
}

ReplyCode CheckRequestDate(std::string const& value, boost::gregorian::date const& today) {
  int year = 0, month = 0, day = 0;
  if (!ReadDateText(value, year, month, day)) return kReplyDateUnreadable;
  if (day < 1 || day > 31 || month < 1 || month > 12 || year < 1400 || year > 10000) {
    return kReplyDateInvalid;
  }
  using Calendar = boost::gregorian::gregorian_calendar;
  try {
    // The calendar type stops at 9999; a year it cannot hold is no date for us.
    if (day > Calendar::end_of_month_day(static_cast<unsigned short>(year),
                                         static_cast<unsigned short>(month))) {
      return kReplyDateInvalid;
    }
    boost::gregorian::date date(static_cast<unsigned short>(year),
                                static_cast<unsigned short>(month),
                                static_cast<unsigned short>(day));
    long long gap = (date - today).days();
    if (gap <= -3 || gap >= 3) return kReplyDateStale;
  } catch (std::out_of_range const&) {
    return kReplyDateInvalid;
  }
  return kReplyOk;
}

boost::gregorian::date UtcDay(std::time_t when) {
  return boost::posix_time::from_time_t(when).date();
}

}  // namespace norla_server
