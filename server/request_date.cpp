#include "server/request_date.h"

#include <boost/date_time/posix_time/conversion.hpp>
#include <cstdio>
#include <stdexcept>

namespace norla_server {

using namespace tally_protocol;

ReplyCode CheckRequestDate(std::string const& value, boost::gregorian::date const& today) {
  int year = 0, month = 0, day = 0;
  if (std::sscanf(value.c_str(), "%04d/%02d/%02d", &year, &month, &day) != 3) {
    return kReplyDateUnreadable;
  }
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
