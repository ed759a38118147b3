#include "server/ext_params.h"

#include "server/request_text.h"

namespace norla_server {

bool ParseExtParams(char const* text, ExtParamMap& out) {
  ExtParamMap parsed;
  if (text != nullptr) {
    std::string key, value;
    for (std::string const& line : SplitLines(text)) {
      if (!SplitField(line, key, value)) continue;
      if (key.empty() || value.empty()) return false;
      parsed[key] = value;
    }
  }
  out.swap(parsed);
  return true;
}

}  // namespace norla_server
