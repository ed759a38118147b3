#include "transport/peer_address.h"

#include <net/if.h>

#include <charconv>

namespace norla_server {
namespace {

// The library's text goes through inet_ntop, which formats IPv4 with
// sprintf: a visible share of a request's CPU time.
std::string DottedText(boost::asio::ip::address_v4 const& address) {
  char text[16];
  char* at = text;
  for (unsigned char const octet : address.to_bytes()) {
    if (at != text) *at++ = '.';
    at = std::to_chars(at, text + sizeof text, octet).ptr;
  }
  return std::string(text, at);
}

bool IsLinkLocal(boost::asio::ip::address_v6::bytes_type const& bytes) {
  return bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;  // fe80::/10
}

std::string ScopeText(boost::asio::ip::address_v6 const& address) {
  unsigned long const scope = address.scope_id();
  if (IsLinkLocal(address.to_bytes())) {
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(static_cast<unsigned int>(scope), name) != nullptr) return name;
  }
  return std::to_string(scope);
}

}  // namespace

std::string PeerAddressText(boost::asio::ip::address const& address) {
  if (address.is_v4()) return DottedText(address.to_v4());

  boost::asio::ip::address_v6 const v6 = address.to_v6();
  if (v6.is_v4_mapped()) {
    return DottedText(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6));
  }
  // The scope is formatted here rather than by the library so the rule stays
  // ours: the library also names the scope of multicast addresses.
  std::string text = boost::asio::ip::address_v6(v6.to_bytes()).to_string();
  if (v6.scope_id() != 0) text += "%" + ScopeText(v6);
  return text;
}

}  // namespace norla_server
