#include "ctl/admin_url.h"

#include <cctype>

namespace tallyctl {

namespace {

constexpr std::string_view kScheme = "http://";
constexpr char kDefaultHttpPort[] = "80";
constexpr unsigned long kMaxPort = 65535;

bool ValidPort(std::string const& port) {
  if (port.empty() || port.size() > 5) return false;
  for (char const c : port) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  unsigned long const value = std::stoul(port);
  return value > 0 && value <= kMaxPort;
}

}  // namespace

std::string AdminUrl::Authority() const {
  bool const v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + port;
}

std::optional<AdminUrl> AdminUrl::Parse(std::string_view text) {
  if (text.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  text.remove_prefix(kScheme.size());
  if (!text.empty() && text.back() == '/') text.remove_suffix(1);
  AdminUrl url;
  std::string_view rest;
  if (!text.empty() && text.front() == '[') {
    std::size_t const close = text.find(']');
    if (close == text.npos) return std::nullopt;
    url.host = std::string(text.substr(1, close - 1));
    rest = text.substr(close + 1);
  } else {
    std::size_t const colon = std::min(text.find(':'), text.size());
    url.host = std::string(text.substr(0, colon));
    rest = text.substr(colon);
  }
  if (url.host.empty() || url.host.find_first_of("/?#@ ") != std::string::npos) return std::nullopt;
  if (rest.empty()) {
    url.port = kDefaultHttpPort;
  } else if (rest.front() == ':') {
    url.port = std::string(rest.substr(1));
  } else {
    return std::nullopt;
  }
  if (!ValidPort(url.port)) return std::nullopt;
  return url;
}

std::string UrlEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char const c : text) {
    auto const byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

}  // namespace tallyctl
