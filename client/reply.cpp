#include "client/reply.h"

#include <cstdio>
#include <cstdlib>

namespace tally {
namespace {

// Splits at CR LF; a trailing piece without its CR LF counts as a line too.
std::vector<std::string> SplitLines(std::string const& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

bool ParseDecimal(std::string const& text, unsigned long& value) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::strtoul(text.c_str(), nullptr, 10);
  return true;
}

bool IsLowerHex(std::string const& text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

bool ParseReply(std::string const& text, TReply& reply) {
  std::string trimmed = text.substr(0, text.find('\0'));
  std::vector<std::string> lines = SplitLines(trimmed);
  if (lines.size() < 5 || !lines[1].empty()) return false;

  std::string const& status = lines[0];
  std::size_t space = status.rfind(' ');
  unsigned long code = 0;
  if (space == std::string::npos || space == 0 || !ParseDecimal(status.substr(space + 1), code) ||
      code > 999) {
    return false;
  }

  TReply parsed;
  parsed.tag = status.substr(0, space);
  parsed.code = static_cast<tally_protocol::ReplyCode>(code);
  bool haveVersion = false, haveHash = false, haveCount = false;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    std::string const& line = lines[i];
    if (line.empty()) continue;
    std::size_t colon = line.find(": ");
    if (colon == std::string::npos) return false;
    std::string key = line.substr(0, colon);
    std::string value = line.substr(colon + 2);
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
