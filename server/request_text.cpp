#include "server/request_text.h"

namespace norla_server {

namespace {

std::vector<std::string> SplitAt(std::string const& text, char const* separators) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of(separators, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

}  // namespace

std::vector<std::string> SplitLines(std::string const& text) {
  return SplitAt(text, "\r\n");
}

std::vector<std::string> SplitWords(std::string const& line) {
  return SplitAt(line, " ");
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
