#pragma once

// The one line splitter of the wire texts: requests, extension parameters
// and replies. Text is plain bytes; NULs are ordinary characters here.

#include <string_view>

namespace tally {

// Walks the lines of `text` without copying them. Every CR and every LF ends
// a line and empty lines are skipped, so "\r\n", "\n" and "\r" all end a line
// and blank lines vanish. `text` must outlive the reader and the lines.
class LineReader {
 public:
  explicit LineReader(std::string_view text);
  // The next non-empty line; false at the end.
  bool Next(std::string_view& line);

 private:
  char const* next_;
  char const* end_;
  char const* nextCr_;
  char const* nextLf_;
};

// Cuts a field line at its first colon. The one character right after the
// colon is skipped whatever it is; the value is the rest of the line. False
// when the line has no colon or ends in it; key and value may be empty.
bool SplitField(std::string_view line, std::string_view& key, std::string_view& value);

}  // namespace tally
