// The peer address text rule.

#include "transport/peer_address.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <string>

namespace norla_server {
namespace {

namespace ip = boost::asio::ip;

std::string TextOf(char const* address) {
  return PeerAddressText(ip::make_address(address));
}

ip::address ScopedV6(char const* text, unsigned long scope) {
  ip::address_v6 address = ip::make_address_v6(text);
  address.scope_id(scope);
  return address;
}

TEST(PeerAddress, PlainAndMappedForms) {
  struct Case {
    char const* address;
    char const* text;
  };
  Case const cases[] = {
      {"192.0.2.7", "192.0.2.7"},
      {"0.0.0.0", "0.0.0.0"},
      {"::ffff:127.0.0.1", "127.0.0.1"},  // IPv4 client on the dual-stack listener
      {"::ffff:192.0.2.255", "192.0.2.255"},
      {"2001:db8::5", "2001:db8::5"},
      {"::1", "::1"},
      {"::", "::"},
      {"::127.0.0.1", "::127.0.0.1"},  // IPv4-compatible is not mapped
  };
  for (Case const& c : cases) EXPECT_EQ(TextOf(c.address), c.text) << c.address;
}

TEST(PeerAddress, ScopeIsAppended) {
  unsigned int const loopback = if_nametoindex("lo");
  ASSERT_NE(loopback, 0u) << "no loopback interface";
  // Link-local with a known interface: its name.
  EXPECT_EQ(PeerAddressText(ScopedV6("fe80::1", loopback)), "fe80::1%lo");
  EXPECT_EQ(PeerAddressText(ScopedV6("febf::1", loopback)), "febf::1%lo");  // still fe80::/10
  // Link-local with no such interface, and scoped non-link-local: the number.
  EXPECT_EQ(PeerAddressText(ScopedV6("fe80::1", 4000000)), "fe80::1%4000000");
  EXPECT_EQ(PeerAddressText(ScopedV6("fec0::1", loopback)), "fec0::1%" + std::to_string(loopback));
  EXPECT_EQ(PeerAddressText(ScopedV6("ff02::1", loopback)), "ff02::1%" + std::to_string(loopback));
  // No scope, no suffix.
  EXPECT_EQ(PeerAddressText(ScopedV6("fe80::1", 0)), "fe80::1");
}

TEST(PeerAddress, UnconnectedSocketGivesZeroAddress) {
  boost::asio::io_context io;
  ip::tcp::socket unopened(io);
  EXPECT_EQ(PeerAddressText(unopened), "0.0.0.0");
  ip::tcp::socket unconnected(io, ip::tcp::v6());
  EXPECT_EQ(PeerAddressText(unconnected), "0.0.0.0");
}

}  // namespace
}  // namespace norla_server
