// The PROXY header parser on whole, cut and damaged headers; the balancer list.

#include <gtest/gtest.h>

#include <tuple>

#include "transport/proxy_header.h"
#include "transport/proxy_sources.h"

namespace norla_server {
namespace {

using Bytes = std::vector<unsigned char>;

// Signature, version/command, family/protocol, `body` with its length; cut to `keep`.
Bytes Header(unsigned char command, unsigned char family, Bytes body, std::size_t keep = 0) {
  Bytes bytes{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A, command,
              family, static_cast<unsigned char>(body.size() >> 8),
              static_cast<unsigned char>(body.size())};
  bytes.resize(kProxyHeaderFixedSize + body.size());
  std::copy(body.begin(), body.end(), bytes.begin() + kProxyHeaderFixedSize);
  if (keep != 0) bytes.resize(keep);
  return bytes;
}

TEST(ProxyHeader, VerdictsLengthsAndSources) {
  Bytes const v4{127, 0, 0, 2, 127, 0, 0, 1, 0x30, 0x39, 0x1F, 0x90};
  Bytes v6(36), v4Tlv = v4;
  v6[15] = 1;                                           // source ::1
  v4Tlv.insert(v4Tlv.end(), {0x04, 0x00, 0x01, 'x'});  // skipped
  using V = ProxyVerdict;
  std::tuple<Bytes, V, std::size_t, char const*> const cases[] = {
      {Header(0x21, 0x11, v4), V::kProxied, 28, "127.0.0.2"},
      {Header(0x21, 0x21, v6), V::kProxied, 52, "::1"},
      {Header(0x21, 0x11, v4Tlv), V::kProxied, 32, "127.0.0.2"},
      {Header(0x20, 0x00, {}), V::kLocal, 16, "0.0.0.0"},
      {Header(0x21, 0x11, v4, 13), V::kNeedMore, 16, "0.0.0.0"},
      {Header(0x20, 0x00, Bytes(520), 16), V::kNeedMore, 536, "0.0.0.0"},
      {{0x00, 0x02, 0x12, 0x34}, V::kMalformed, 0, "0.0.0.0"},            // a bare frame
      {Header(0x11, 0x11, v4, 13), V::kMalformed, 0, "0.0.0.0"},          // version 1
      {Header(0x20, 0x00, Bytes(521), 16), V::kMalformed, 0, "0.0.0.0"},  // too long
      {Header(0x21, 0x31, Bytes(216), 16), V::kMalformed, 0, "0.0.0.0"},  // local socket
      {Header(0x21, 0x21, v4, 16), V::kMalformed, 0, "0.0.0.0"},          // short for IPv6
  };
  for (auto const& [bytes, verdict, length, source] : cases) {
    ProxyHeader const header = ParseProxyHeader(bytes.data(), bytes.size());
    EXPECT_EQ(std::make_tuple(header.verdict, header.length, header.source.to_string()),
              std::make_tuple(verdict, length, std::string(source)));
  }
}

TEST(ProxySources, ParsedWholeOrNotAtAll) {
  KProxySources sources;
  std::string error;
  ASSERT_TRUE(KProxySources::Parse(" 10.0.0.5,::ffff:10.0.0.6 ", sources, error));
  EXPECT_FALSE(KProxySources::Parse("10.0.0.7,lb", sources, error));
  EXPECT_EQ(error, "not an IP address: lb");
  EXPECT_TRUE(sources.Contains("10.0.0.6") && !sources.Contains("10.0.0.7"));
}

}  // namespace
}  // namespace norla_server
