#pragma once

// The configuration load: reads the INI file once at start-up and sets the
// system-log identity (g_syslogIdent) and the mail settings (g_sendmail*).
// Nothing in the file is required and no problem with it is fatal: every
// outcome is logged and the built-in defaults stay for whatever was not read.

#include <string>

#include "daemon/service_bounds.h"

using ConfigLogFunc = void (*)(int priority, char const* format, ...);

// Loads `path`, logging through `log` (the daemon passes mysyslog), and fills
// `bounds` from the optional keys after the designed ones. Runs before any
// other thread exists. Never throws.
void LoadConfiguration(std::string const& path, ConfigLogFunc log, ServiceBounds& bounds);

// Reads a decimal integer text like strtol in base 10 and keeps the low 32
// bits. Shared by the "sendmail-enabled" rule.
int ParseInt32(char const* text);
