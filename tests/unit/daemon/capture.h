#pragma once

// A log sink that records lines (and throws on a value "sink-throws"), and a
// scratch file for one test at a time.

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "daemon/process_log.h"
#include "tests/support/daemon_process.h"

namespace daemon_test {

// Logged lines as "<priority> <text>", and g_syslogIdent at each.
inline struct Log { std::vector<std::string> lines, idents; } logged;

inline void CaptureLog(int priority, char const* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (std::strstr(text, "= sink-throws")) throw std::runtime_error("sink failed");
  logged.lines.push_back(std::to_string(priority) + " " + text);
  logged.idents.push_back(g_syslogIdent);
}

// Writes `content` to this process's scratch file, removed at exit.
inline std::string WriteScratch(std::string const& content) {
  static tally_test::TempDir const dir;
  return dir.WriteFile("scratch", content);
}

}  // namespace daemon_test
