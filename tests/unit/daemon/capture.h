#pragma once

// Test doubles for the daemon's output: a log sink that records lines, and a
// redirection of a standard descriptor into a temporary file.

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "daemon/process_log.h"

namespace daemon_test {

struct LoggedLine {
  int priority;
  std::string text;
  std::string identAtCall;  // g_syslogIdent when the line was logged
  bool operator==(LoggedLine const& other) const {
    return priority == other.priority && text == other.text;
  }
};

inline std::vector<LoggedLine>& Logged() {
  static std::vector<LoggedLine> lines;
  return lines;
}

inline void CaptureLog(int priority, char const* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Logged().push_back({priority, text, g_syslogIdent});
}

// Redirects `fd` (1 or 2) into a temporary file until Stop() or destruction.
class FdCapture {
 public:
  explicit FdCapture(int fd) : fd_(fd) {
    std::fflush(nullptr);
    char name[] = "/tmp/tallyd-capture-XXXXXX";
    file_ = ::mkstemp(name);
    ::unlink(name);
    saved_ = ::dup(fd_);
    ::dup2(file_, fd_);
  }
  ~FdCapture() { Stop(); }
  FdCapture(FdCapture const&) = delete;
  FdCapture& operator=(FdCapture const&) = delete;

  // Restores the descriptor and returns everything written meanwhile.
  std::string Stop() {
    if (saved_ >= 0) {
      std::fflush(nullptr);
      ::dup2(saved_, fd_);
      ::close(saved_);
      saved_ = -1;
      ::lseek(file_, 0, SEEK_SET);
      char buffer[4096];
      ssize_t n;
      while ((n = ::read(file_, buffer, sizeof buffer)) > 0) text_.append(buffer, n);
      ::close(file_);
    }
    return text_;
  }

 private:
  int fd_;
  int file_ = -1;
  int saved_ = -1;
  std::string text_;
};

inline std::string WriteTempFile(std::string const& content) {
  char name[] = "/tmp/tallyd-test-XXXXXX";
  int const fd = ::mkstemp(name);
  ::close(fd);
  std::ofstream(name, std::ios::binary) << content;
  return name;
}

}  // namespace daemon_test
