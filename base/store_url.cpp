#include "base/store_url.h"

#include <charconv>

namespace tally {

namespace {

constexpr char kRedisScheme[] = "redis://";
constexpr char kSentinelScheme[] = "sentinel://";
constexpr unsigned int kMaxDatabase = 15;  // a stock server's last database

bool ParseNumber(std::string const& text, unsigned long high, unsigned long& value) {
  if (text.empty()) return false;
  auto const end = text.data() + text.size();
  auto const result = std::from_chars(text.data(), end, value);
  return result.ec == std::errc() && result.ptr == end && value <= high;
}

// HOST:PORT, HOST a name, an IPv4 address or a bracketed IPv6 one.
bool ParseAddress(std::string const& text, StoreAddress& address, std::string& why) {
  std::size_t const colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    why = "'" + text + "' is not HOST:PORT";
    return false;
  }
  std::string host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') {
      why = "'" + text + "' has an unclosed IPv6 address";
      return false;
    }
    host = host.substr(1, host.size() - 2);
  } else if (host.find_first_of("[]/@") != std::string::npos) {
    why = "'" + host + "' is not a host";
    return false;
  }
  unsigned long port = 0;
  if (!ParseNumber(text.substr(colon + 1), 65535, port) || port == 0) {
    why = "'" + text.substr(colon + 1) + "' is not a port from 1 to 65535";
    return false;
  }
  address = StoreAddress{host, static_cast<std::uint16_t>(port)};
  return true;
}

bool ParseRedis(std::string const& rest, StoreUrl& url, std::string& why) {
  std::size_t const slash = rest.find('/');
  StoreAddress address;
  if (!ParseAddress(rest.substr(0, slash), address, why)) return false;
  url.servers = {address};
  if (slash == std::string::npos) return true;
  unsigned long database = 0;
  if (!ParseNumber(rest.substr(slash + 1), kMaxDatabase, database)) {
    why = "the database must be a number from 0 to 15";
    return false;
  }
  url.database = static_cast<unsigned int>(database);
  return true;
}

bool ParseSentinel(std::string const& rest, StoreUrl& url, std::string& why) {
  std::size_t const slash = rest.find('/');
  if (slash == std::string::npos || slash + 1 == rest.size()) {
    why = "the master's name is missing";
    return false;
  }
  url.masterName = rest.substr(slash + 1);
  if (url.masterName.find_first_of("/ \t") != std::string::npos) {
    why = "'" + url.masterName + "' is not a master name";
    return false;
  }
  std::string const list = rest.substr(0, slash);
  for (std::size_t start = 0; start <= list.size();) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    StoreAddress address;
    if (!ParseAddress(list.substr(start, end - start), address, why)) return false;
    url.servers.push_back(address);
    start = end + 1;
  }
  return true;
}

}  // namespace

bool ParseStoreUrl(std::string const& text, StoreUrl& url, std::string& why) {
  url = StoreUrl{};
  if (text.empty() || text == "memory") return true;
  if (text.rfind(kRedisScheme, 0) == 0) {
    url.kind = StoreUrl::Kind::kRedis;
    return ParseRedis(text.substr(sizeof kRedisScheme - 1), url, why);
  }
  if (text.rfind(kSentinelScheme, 0) == 0) {
    url.kind = StoreUrl::Kind::kSentinel;
    return ParseSentinel(text.substr(sizeof kSentinelScheme - 1), url, why);
  }
  why = "it is neither memory, redis://HOST:PORT[/DB] nor sentinel://HOST:PORT[,...]/NAME";
  return false;
}

}  // namespace tally
