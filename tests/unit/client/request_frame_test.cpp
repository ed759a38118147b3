// Request frames: the daemon drops every frame whose CRC is 0, so the encoder
// must never produce one.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/tally_client.h"
#include "transport/packet.h"
#include "transport/packet_cipher.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Encrypt(Bytes const& plain, bool encrypt = true) {
  unsigned char key[16], iv[16];
  norla::NorlaDecodeEncryptionKey(key, iv);
  Bytes out(plain.size());
  EXPECT_TRUE(
      norla::NorlaAESExecute(plain.data(), out.data(), plain.size(), key, iv, encrypt, false));
  return out;
}

// The first text of the form prefix + number, `length` long, whose plain
// zero-padded encryption into `body` bytes has CRC 0.
std::string TextWithZeroChecksum(std::string const& prefix, std::size_t length, std::size_t body) {
  for (unsigned n = 0; n < 4000000; ++n) {
    std::string text = prefix + std::to_string(n);
    text.insert(prefix.size(), length - text.size(), '0');
    Bytes plain(body, 0);
    std::copy(text.begin(), text.end(), plain.begin());
    Bytes const cipher = Encrypt(plain);
    if (norla_server::PacketChecksum(cipher.data(), cipher.size()) == 0) return text;
  }
  return {};
}

TEST(EncodeRequestFrame, NeverSendsAZeroChecksum) {
  struct Case {
    std::size_t textLength, body, expectedBody;
  };
  // Padding to change, and a text that fills its blocks, which needs one more.
  for (Case c : {Case{40, 64, 64}, Case{32, 32, 48}}) {
    std::string const text = TextWithZeroChecksum("NORLA PING TAG\r\nID: ", c.textLength, c.body);
    ASSERT_EQ(text.size(), c.textLength) << "no text with CRC 0 found";
    Bytes const frame = tally::EncodeRequestFrame(text, c.body);
    ASSERT_EQ(frame.size(), norla_server::kPacketHeaderSize + c.expectedBody);
    std::size_t length = 0;
    std::uint16_t checksum = 0;
    norla_server::DecodePacketHeader(frame.data(), length, checksum);
    EXPECT_EQ(length, c.expectedBody);
    EXPECT_NE(checksum, 0);
    Bytes const body(frame.begin() + norla_server::kPacketHeaderSize, frame.end());
    EXPECT_EQ(norla_server::PacketChecksum(body.data(), body.size()), checksum);
    Bytes const plain = Encrypt(body, false);
    EXPECT_EQ(std::string(plain.begin(), plain.begin() + text.size()), text);
    for (std::size_t i = text.size(); i < plain.size(); ++i) {  // what the daemon ignores
      EXPECT_TRUE(std::string("\r\n: ").find(static_cast<char>(plain[i])) == std::string::npos)
          << i;
    }
  }
}

}  // namespace
