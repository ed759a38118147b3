#include "transport/exception_report.h"

#include <cstdio>
#include <exception>

#include "server/event_log.h"

namespace norla_server {

std::string CurrentExceptionLine() {
  try {
    throw;
  } catch (std::exception const& e) {
    return std::string("Exception: ") + e.what();
  } catch (...) {
    return "Unknown Exception";
  }
}

void ReportCurrentException() noexcept {
  try {
    std::string const line = CurrentExceptionLine();
    std::fprintf(stderr, "%s\n", line.c_str());
    OutputLog("", line.c_str(), -1, nullptr, false);
  } catch (...) {
    // Out of memory while reporting: nothing sensible is left to do.
  }
}

}  // namespace norla_server
