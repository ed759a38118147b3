#include "transport/proxy_header.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace norla_server {
namespace {

constexpr unsigned char kSignature[] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                        0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::size_t kSignatureSize = sizeof kSignature;
constexpr std::size_t kVersionCommand = 12;
constexpr std::size_t kFamilyProtocol = 13;
constexpr std::size_t kLengthHigh = 14;

constexpr unsigned char kVersion2 = 0x20;
constexpr unsigned char kCommandLocal = 0x0;
constexpr unsigned char kCommandProxy = 0x1;
constexpr unsigned char kTcpOverIpv4 = 0x11;
constexpr unsigned char kTcpOverIpv6 = 0x21;
// Source and destination addresses, then their two ports.
constexpr std::size_t kIpv4Block = 2 * 4 + 2 * 2;
constexpr std::size_t kIpv6Block = 2 * 16 + 2 * 2;

ProxyHeader Verdict(ProxyVerdict verdict, std::size_t length = 0) {
  ProxyHeader header;
  header.verdict = verdict;
  header.length = length;
  return header;
}

template <std::size_t N>
std::array<unsigned char, N> Take(unsigned char const* bytes) {
  std::array<unsigned char, N> out{};
  std::memcpy(out.data(), bytes, N);
  return out;
}

}  // namespace

ProxyHeader ParseProxyHeader(unsigned char const* bytes, std::size_t size) {
  if (std::memcmp(bytes, kSignature, std::min(size, kSignatureSize)) != 0) {
    return Verdict(ProxyVerdict::kMalformed);
  }
  if (size > kVersionCommand && (bytes[kVersionCommand] & 0xF0) != kVersion2) {
    return Verdict(ProxyVerdict::kMalformed);
  }
  if (size < kProxyHeaderFixedSize) return Verdict(ProxyVerdict::kNeedMore, kProxyHeaderFixedSize);

  std::size_t const length =
      kProxyHeaderFixedSize + (std::size_t{bytes[kLengthHigh]} << 8 | bytes[kLengthHigh + 1]);
  if (length > kProxyHeaderMaxSize) return Verdict(ProxyVerdict::kMalformed);
  unsigned char const command = bytes[kVersionCommand] & 0x0F;
  if (command != kCommandLocal && command != kCommandProxy) {
    return Verdict(ProxyVerdict::kMalformed);
  }
  // Decided before waiting for the rest, so a bad header costs no more reads.
  unsigned char const family = bytes[kFamilyProtocol];
  std::size_t const block = family == kTcpOverIpv4 ? kIpv4Block : kIpv6Block;
  if (command == kCommandProxy &&
      ((family != kTcpOverIpv4 && family != kTcpOverIpv6) || length < kProxyHeaderFixedSize + block)) {
    return Verdict(ProxyVerdict::kMalformed);
  }
  if (size < length) return Verdict(ProxyVerdict::kNeedMore, length);
  if (command == kCommandLocal) return Verdict(ProxyVerdict::kLocal, length);

  ProxyHeader header = Verdict(ProxyVerdict::kProxied, length);
  unsigned char const* source = bytes + kProxyHeaderFixedSize;
  if (family == kTcpOverIpv4) {
    header.source = boost::asio::ip::address_v4(Take<4>(source));
  } else {
    header.source = boost::asio::ip::address_v6(Take<16>(source));
  }
  return header;
}

}  // namespace norla_server
