#pragma once

// The process's two output functions and the system-log identity.
//
// mysyslog is the one log function of the whole program: the session service
// writes through it too (installed with NorlaInitializeLog). Lines go through
// the service's ordered log stream, whose writer thread calls mysyslog again
// to write them; so a stalled system logger holds up no other thread. Each
// console line is written with a single stdio call so lines never interleave.

#include <cstdarg>
#include <cstddef>

// Identity handed to openlog once, at start. Later changes (the configured
// "syslog-ident") are copies into this same buffer, so every later line
// carries them. At most kSyslogIdentMax characters plus the terminating NUL.
constexpr std::size_t kSyslogIdentMax = 200;
extern char g_syslogIdent[kSyslogIdentMax + 1];

// When true every mysyslog line is also printed on the console. Set only
// before the service's threads exist.
extern bool g_logToConsole;

// Logs one line (printf format, no trailing newline) at a syslog priority:
// posts the formatted text with NorlaLogPost. Where that is refused (on the
// stream's writer thread, or with no stream) it writes the line at once: with
// console echo on, the text plus one newline goes to standard error for
// priority exactly 3 (LOG_ERR) and to standard output otherwise; then, in
// every case, the same format and arguments go to vsyslog.
void mysyslog(int priority, char const* format, ...) __attribute__((format(printf, 2, 3)));

// Writes the formatted text to standard error, adding nothing, never to the
// system log. For command-line errors and the results of --test-mail.
void errprintf(char const* format, ...) __attribute__((format(printf, 1, 2)));
