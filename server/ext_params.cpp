#include "server/ext_params.h"

#include "base/line_reader.h"

namespace norla_server {

bool ParseExtParams(char const* text, ExtParamMap& out) {
  ExtParamMap parsed;
  if (text != nullptr) {
    tally::LineReader reader(text);
    std::string_view line, key, value;
    while (reader.Next(line)) {
      if (!tally::SplitField(line, key, value)) continue;
      if (key.empty() || value.empty()) return false;
      parsed[std::string(key)] = value;
    }
  }
  out.swap(parsed);
  return true;
}

}  // namespace norla_server
