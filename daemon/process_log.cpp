#include "daemon/process_log.h"

#include <syslog.h>

#include <cstdio>
#include <memory>

#include "server/norla_server.h"

char g_syslogIdent[kSyslogIdentMax + 1] = "tally";
bool g_logToConsole = false;

namespace {

constexpr std::size_t kSmallLine = 512;

// The formatted text with room for one more character; its length, or -1.
int Format(char (&small)[kSmallLine], std::unique_ptr<char[]>& large, char*& text,
           char const* format, std::va_list args) {
  std::va_list copy;
  va_copy(copy, args);
  int const length = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  text = small;
  if (length < 0 || static_cast<std::size_t>(length) + 1 < sizeof small) return length;
  large.reset(new (std::nothrow) char[static_cast<std::size_t>(length) + 2]);
  if (!large) return -1;
  std::vsnprintf(large.get(), static_cast<std::size_t>(length) + 1, format, args);
  text = large.get();
  return length;
}

// Appends the newline and hands the line to stdio in one fwrite, so that
// lines written by different threads stay whole.
void EchoToConsole(std::FILE* stream, char const* format, std::va_list args) {
  char small[kSmallLine];
  std::unique_ptr<char[]> large;
  char* text = nullptr;
  int const length = Format(small, large, text, format, args);
  if (length < 0) return;
  text[length] = '\n';
  std::fwrite(text, 1, static_cast<std::size_t>(length) + 1, stream);
  std::fflush(stream);
}

// Queues the formatted line in the service's ordered log stream, which hands
// it back to mysyslog on its writer thread.
bool PostToStream(int priority, char const* format, std::va_list args) {
  char small[kSmallLine];
  std::unique_ptr<char[]> large;
  char* text = nullptr;
  return Format(small, large, text, format, args) >= 0 && NorlaLogPost(priority, text);
}

}  // namespace

void mysyslog(int priority, char const* format, ...) {
  std::va_list args;
  va_start(args, format);
  bool const posted = PostToStream(priority, format, args);
  va_end(args);
  if (posted) return;
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
