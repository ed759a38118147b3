#pragma once

// What the server thread does with an exception that escapes a completion
// handler (the packet handler included): the process keeps serving, so the
// fault must be visible where a detached daemon's operator looks, the log.

#include <string>

namespace norla_server {

// "Exception: <what>" for a standard exception, "Unknown Exception" otherwise.
// Call only while an exception is being handled (inside a catch block).
std::string CurrentExceptionLine();

// Writes CurrentExceptionLine() to standard error and, as an event line with
// no address and no count, through OutputLog. Call only inside a catch block.
void ReportCurrentException() noexcept;

}  // namespace norla_server
