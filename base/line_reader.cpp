#include "base/line_reader.h"

#include <algorithm>
#include <cstring>

namespace tally {

namespace {

// memchr scans in vector steps; a request is mostly zero padding.
char const* Find(char const* from, char const* end, char c) {
  void const* found = std::memchr(from, c, static_cast<std::size_t>(end - from));
  return found != nullptr ? static_cast<char const*>(found) : end;
}

}  // namespace

// Each separator's next position is kept until the scan passes it, so the
// text is searched once for each however many lines it has.
LineReader::LineReader(std::string_view text)
    : next_(text.data()),
      end_(text.data() + text.size()),
      nextCr_(Find(next_, end_, '\r')),
      nextLf_(Find(next_, end_, '\n')) {}

bool LineReader::Next(std::string_view& line) {
  while (next_ < end_) {
    if (nextCr_ < next_) nextCr_ = Find(next_, end_, '\r');
    if (nextLf_ < next_) nextLf_ = Find(next_, end_, '\n');
    char const* const lineEnd = std::min(nextCr_, nextLf_);
    char const* const start = next_;
    next_ = lineEnd == end_ ? end_ : lineEnd + 1;
    if (lineEnd > start) {
      line = std::string_view(start, static_cast<std::size_t>(lineEnd - start));
      return true;
    }
  }
  return false;
}

bool SplitField(std::string_view line, std::string_view& key, std::string_view& value) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon + 1 == line.size()) return false;
  key = line.substr(0, colon);
  value = colon + 2 < line.size() ? line.substr(colon + 2) : std::string_view();
  return true;
}

}  // namespace tally
