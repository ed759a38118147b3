#include "daemon/process_log.h"

#include <syslog.h>

#include <cstdio>
#include <memory>

char g_syslogIdent[kSyslogIdentMax + 1] = "tally";
bool g_logToConsole = false;

namespace {

// Formats the line and appends the newline, then hands it to stdio in one
// fwrite so that lines written by different threads stay whole.
void EchoToConsole(std::FILE* stream, char const* format, std::va_list args) {
  char small[512];
  std::va_list copy;
  va_copy(copy, args);
  int const length = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (length < 0) return;

  char* text = small;
  std::unique_ptr<char[]> large;
  if (static_cast<std::size_t>(length) + 1 >= sizeof small) {
    large.reset(new (std::nothrow) char[static_cast<std::size_t>(length) + 2]);
    if (!large) return;
    std::vsnprintf(large.get(), static_cast<std::size_t>(length) + 1, format, args);
    text = large.get();
  }
  text[length] = '\n';
  std::fwrite(text, 1, static_cast<std::size_t>(length) + 1, stream);
  std::fflush(stream);
}

}  // namespace

void mysyslog(int priority, char const* format, ...) {
  std::va_list args;
  if (g_logToConsole) {
    va_start(args, format);
    EchoToConsole(priority == LOG_ERR ? stderr : stdout, format, args);
    va_end(args);
  }
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}

void errprintf(char const* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fflush(stderr);
}
