#include "server/request_text.h"

namespace norla_server {

namespace {

// A plain scan: find_first_of with a set tests each byte by a library call,
// and a request is mostly zero padding.
template <typename IsSeparator>
std::vector<std::string> SplitAt(std::string const& text, IsSeparator isSeparator) {
  std::vector<std::string> pieces;
  char const* const data = text.data();
  std::size_t const size = text.size();
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i < size && !isSeparator(data[i])) continue;
    if (i > start) pieces.emplace_back(data + start, i - start);
    start = i + 1;
  }
  return pieces;
}

}  // namespace

std::vector<std::string> SplitLines(std::string const& text) {
  return SplitAt(text, [](char c) { return c == '\r' || c == '\n'; });
}

std::vector<std::string> SplitWords(std::string const& line) {
  return SplitAt(line, [](char c) { return c == ' '; });
}

bool SplitField(std::string const& line, std::string& key, std::string& value) {
  std::size_t colon = line.find(':');
  if (colon == std::string::npos || colon + 1 == line.size()) return false;
  key = line.substr(0, colon);
  value = colon + 2 < line.size() ? line.substr(colon + 2) : std::string();
  return true;
}

std::map<std::string, std::string> ExtractFields(std::vector<std::string> const& lines) {
  std::map<std::string, std::string> fields;
  std::string key, value;
  for (std::string const& line : lines) {
    if (SplitField(line, key, value) && !key.empty() && !value.empty()) fields[key] = value;
  }
  return fields;
}

}  // namespace norla_server
