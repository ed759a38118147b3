#pragma once

// Event lines of the session service. The transport may include this header;
// it pulls in nothing else of the service.

#include <atomic>
#include <string>

namespace norla_server {

using SyslogFunc = void (*)(int priority, char const* format, ...);

// The log sink; null means syslog. Set by NorlaInitializeLog; the log
// stream's writer reads it for each line.
extern std::atomic<SyslogFunc> sg_syslogFunc;

// Emits one event line at priority 6 through the sink with the format "%s":
//   event [" : " address [" (" host ")"]] [", Current clients : " count]
// `source` and `event` must be non-null (else false and nothing is emitted);
// `address` may be null; `count` < 0 means no count. `flag` is unused.
// Queued in the process's LogStream; never blocks on name resolution. Where
// no stream can take it, written at once without a host name.
bool OutputLog(char const* source, char const* event, int count, char const* address, bool flag);

// OutputLog at a chosen syslog priority. Only priority 6 lines go through the
// background writer; others are written at once by the caller.
bool OutputLogAt(int priority, char const* source, char const* event, int count,
                 char const* address);

// The host name for an address text, or "" when it is not an IP address or has
// no name. May block on the system resolver.
std::string GetReverseLookup(std::string const& address);

// True when `name` may be shown as a host name: 1 to 253 letters, digits,
// hyphens, underscores and dots. Keeps control characters sent by a name
// server out of log lines.
bool IsValidHostName(std::string const& name);

// True when `text` is an IPv6 address (with an optional "%" scope) or an IPv4
// address in dotted decimal.
bool IsIpAddressText(std::string const& text);

// The event line for its parts; pure. `host` is shown only when non-empty and
// different from `address`; `count` < 0 means no count.
std::string FormatEventLine(std::string const& event, std::string const& address,
                            std::string const& host, int count);

// Hands a finished line to the sink at priority 6 with the format "%s".
void WriteEventLine(std::string const& line);

}  // namespace norla_server
