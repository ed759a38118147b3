#include "transport/proxy_sources.h"

#include <algorithm>
#include <boost/asio/ip/address.hpp>

#include "transport/peer_address.h"

namespace norla_server {
namespace {

std::string Trimmed(std::string const& text) {
  auto const first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool KProxySources::Parse(std::string const& text, KProxySources& sources, std::string& error) {
  KProxySources parsed;
  std::string::size_type start = 0;
  for (;;) {
    auto const comma = text.find(',', start);
    std::string const item = Trimmed(text.substr(start, comma - start));
    boost::system::error_code failed;
    auto const address = boost::asio::ip::make_address(item, failed);
    if (failed) {
      error = item.empty() ? "empty address" : "not an IP address: " + item;
      return false;
    }
    // The listener's text for it, so "::ffff:10.0.0.5" and "10.0.0.5" agree.
    parsed.peers_.push_back(PeerAddressText(address));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  sources = std::move(parsed);
  return true;
}

bool KProxySources::Contains(std::string const& peer) const {
  return std::find(peers_.begin(), peers_.end(), peer) != peers_.end();
}

}  // namespace norla_server
