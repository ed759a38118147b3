// The peer address text rule.

#include "transport/peer_address.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <string>

namespace norla_server {
namespace {

namespace ip = boost::asio::ip;

std::string Text(char const* address, unsigned long scope = 0) {
  ip::address parsed = ip::make_address(address);
  if (scope != 0) {
    ip::address_v6 v6 = parsed.to_v6();
    v6.scope_id(scope);
    parsed = v6;
  }
  return PeerAddressText(parsed);
}

TEST(PeerAddress, Forms) {
  std::string const lo = std::to_string(if_nametoindex("lo"));
  unsigned long const loIndex = if_nametoindex("lo");
  ASSERT_NE(loIndex, 0u);
  EXPECT_EQ(Text("192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(Text("::ffff:127.0.0.1"), "127.0.0.1");  // IPv4 client on the dual-stack listener
  EXPECT_EQ(Text("::127.0.0.1"), "::127.0.0.1");     // IPv4-compatible is not mapped
  EXPECT_EQ(Text("2001:db8::5"), "2001:db8::5");
  EXPECT_EQ(Text("fe80::1", loIndex), "fe80::1%lo");  // link-local: the interface name
  EXPECT_EQ(Text("febf::1", loIndex), "febf::1%lo");
  EXPECT_EQ(Text("fe80::1", 4000000), "fe80::1%4000000");  // no such interface
  EXPECT_EQ(Text("fec0::1", loIndex), "fec0::1%" + lo);    // other scopes: the number
  EXPECT_EQ(Text("ff02::1", loIndex), "ff02::1%" + lo);
}

TEST(PeerAddress, UnreadableEndpointGivesZeroAddress) {
  boost::asio::io_context io;
  ip::tcp::socket unconnected(io, ip::tcp::v6());
  EXPECT_EQ(PeerAddressText(unconnected), "0.0.0.0");
}

}  // namespace
}  // namespace norla_server
