#pragma once

// What the server thread does with an exception that escapes a completion
// handler (the packet handler included): the process keeps serving, so the
// fault must be visible where a detached daemon's operator looks, the log.

#include <string>

#include "transport/transport_events.h"

namespace norla_server {

// "Exception: <what>" for a standard exception, "Unknown Exception" otherwise.
// Call only while an exception is being handled (inside a catch block).
std::string CurrentExceptionLine();

// Writes CurrentExceptionLine() to standard error and, as an info line, to
// `events` (when not null). Call only inside a catch block.
void ReportCurrentException(ITransportEvents* events) noexcept;

}  // namespace norla_server
