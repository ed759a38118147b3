#pragma once

// The binary header a load balancer puts before a client's bytes (version 2):
//   12 bytes  signature 0D 0A 0D 0A 00 0D 0A 51 55 49 54 0A
//    1 byte   version (high nibble, 2) and command (low: 0 LOCAL, 1 PROXY)
//    1 byte   family (high: 1 IPv4, 2 IPv6) and protocol (low: 1 stream)
//    2 bytes  big-endian length of what follows
//   addresses source, destination, source port, destination port; then
//   type-length-value extensions, which are skipped.
// LOCAL is the balancer speaking for itself (health checks): its address
// block is skipped whatever its family. PROXY must carry a TCP address of
// either family; anything else is malformed, since the client it stands for
// could not be named.
//
// Socket-free: bytes in, verdict out. The reader may hand over any prefix of
// the header; a prefix that cannot begin a valid header is malformed at once.

#include <boost/asio/ip/address.hpp>
#include <cstddef>

namespace norla_server {

// The fixed part, which tells the length of the rest.
constexpr std::size_t kProxyHeaderFixedSize = 16;
// Addresses of both families with room for a few extensions; a balancer
// sending more is refused rather than buffered.
constexpr std::size_t kProxyHeaderMaxSize = 536;

enum class ProxyVerdict {
  kNeedMore,   // `length`: the header's size as far as known, above the bytes given
  kMalformed,  // close the connection
  kLocal,      // `length` bytes are the header; the connection speaks for itself
  kProxied,    // `length` bytes are the header; `source` is the client
};

struct ProxyHeader {
  ProxyVerdict verdict = ProxyVerdict::kMalformed;
  std::size_t length = 0;
  boost::asio::ip::address source;
};

ProxyHeader ParseProxyHeader(unsigned char const* bytes, std::size_t size);

}  // namespace norla_server
