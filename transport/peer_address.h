#pragma once

// The peer address text used for access decisions, events and the packet
// handler: dotted decimal for IPv4 peers, including those that reach the
// dual-stack listener as IPv4-mapped IPv6 addresses; the standard IPv6 text
// otherwise, with "%" and the scope when the address carries one (the
// interface name for a link-local address whose interface is known, else the
// scope id in decimal).

#include <boost/asio/ip/address.hpp>
#include <string>

namespace norla_server {

std::string PeerAddressText(boost::asio::ip::address const& address);

}  // namespace norla_server
