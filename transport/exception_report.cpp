#include "transport/exception_report.h"

#include <cstdio>
#include <exception>

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

void ReportCurrentException(ITransportEvents* events) noexcept {
  try {
    std::string const line = CurrentExceptionLine();
    std::fprintf(stderr, "%s\n", line.c_str());
    if (events != nullptr) events->OnLogLine(TransportLogPriority::kInfo, line);
  } catch (...) {
    // Out of memory while reporting, or the sink threw: nothing sensible is left.
  }
}

}  // namespace norla_server
