#include "client/reply.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "base/line_reader.h"

namespace tally {
namespace {

bool ParseDecimal(std::string_view text, unsigned long& value) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::strtoul(std::string(text).c_str(), nullptr, 10);
  return true;
}

bool IsLowerHex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

bool ParseReply(std::string const& text, TReply& reply) {
  std::string_view const whole(text.data(), std::min(text.find('\0'), text.size()));
  // The status line, then an empty line.
  std::size_t const statusEnd = whole.find("\r\n");
  if (statusEnd == std::string_view::npos || whole.compare(statusEnd, 4, "\r\n\r\n") != 0) {
    return false;
  }
  std::string_view const status = whole.substr(0, statusEnd);
  std::size_t space = status.rfind(' ');
  unsigned long code = 0;
  if (space == std::string_view::npos || space == 0 ||
      !ParseDecimal(status.substr(space + 1), code) || code > 999) {
    return false;
  }

  TReply parsed;
  parsed.tag = std::string(status.substr(0, space));
  parsed.code = static_cast<tally_protocol::ReplyCode>(code);
  bool haveVersion = false, haveHash = false, haveCount = false;
  tally::LineReader reader(whole.substr(statusEnd + 4));
  for (std::string_view line; reader.Next(line);) {
    std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) return false;
    std::string key(line.substr(0, colon));
    std::string value(line.substr(colon + 2));
    if (key == "Version" && !haveVersion) {
      parsed.version = value;
      haveVersion = true;
    } else if (key == "Hash" && !haveHash) {
      if (value.size() != 32 || !IsLowerHex(value)) return false;
      parsed.hash = value;
      haveHash = true;
    } else if (key == "CurrentClients" && !haveCount) {
      if (!ParseDecimal(value, parsed.currentClients)) return false;
      haveCount = true;
    } else {
      parsed.extensions.emplace_back(key, value);
    }
  }
  if (!haveVersion || !haveHash || !haveCount) return false;
  reply = std::move(parsed);
  return true;
}

}  // namespace tally
