// The packet cipher and the run-time key decoding.

#include "transport/packet_cipher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "generated/packet_key_config.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes FromHex(std::string const& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

struct KeyAndIv {
  unsigned char key[16];
  unsigned char iv[16];
  KeyAndIv() { norla::NorlaDecodeEncryptionKey(key, iv); }
};

Bytes Crypt(Bytes const& input, unsigned char const* key, unsigned char const* iv, bool encrypt,
            bool verify = true) {
  Bytes output(input.size(), 0xA5);
  EXPECT_TRUE(
      norla::NorlaAESExecute(input.data(), output.data(), input.size(), key, iv, encrypt, verify));
  return output;
}

Bytes Message(unsigned char seed) {
  Bytes bytes(512);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<unsigned char>(seed * 31 + i);
  return bytes;
}

TEST(PacketCipher, MatchesPublishedCbcVectors) {
  // AES-128-CBC known answer, NIST SP 800-38A F.2.1 / F.2.2.
  Bytes const key = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
  Bytes const iv = FromHex("000102030405060708090a0b0c0d0e0f");
  Bytes const plain = FromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  Bytes const cipher = FromHex(
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
  EXPECT_EQ(Crypt(plain, key.data(), iv.data(), true), cipher);
  EXPECT_EQ(Crypt(cipher, key.data(), iv.data(), false), plain);
}

TEST(PacketCipher, RoundTripChainsFromTheUntouchedIv) {
  KeyAndIv const packet;
  Bytes iv(packet.iv, packet.iv + 16);
  Bytes const first = Message(1);
  Bytes second = Message(2);
  std::copy(first.begin(), first.begin() + 16, second.begin());

  Bytes const a = Crypt(first, packet.key, iv.data(), true);
  EXPECT_EQ(iv, Bytes(packet.iv, packet.iv + 16));
  EXPECT_EQ(Crypt(a, packet.key, iv.data(), false), first);
  EXPECT_EQ(Crypt(first, packet.key, iv.data(), true, false), a);  // verify off: same result

  // Every message starts from the same IV: equal first blocks encrypt alike.
  Bytes const b = Crypt(second, packet.key, iv.data(), true);
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + 16, b.begin()));
  EXPECT_FALSE(std::equal(a.begin() + 16, a.begin() + 32, b.begin() + 16));
}

TEST(PacketCipher, RejectsBadArguments) {
  KeyAndIv const packet;
  Bytes const in = Message(3);
  Bytes out(512);
  for (bool verify : {true, false}) {
    EXPECT_FALSE(
        norla::NorlaAESExecute(in.data(), out.data(), 512, nullptr, packet.iv, true, verify));
    EXPECT_FALSE(
        norla::NorlaAESExecute(in.data(), out.data(), 512, packet.key, nullptr, true, verify));
    EXPECT_FALSE(
        norla::NorlaAESExecute(in.data(), out.data(), 500, packet.key, packet.iv, true, verify));
  }
}

TEST(PacketCipher, KeyDecodesToTheConfiguredHexStably) {
  KeyAndIv const once, again;
  EXPECT_EQ(Bytes(once.key, once.key + 16), FromHex(TALLY_PACKET_KEY_HEX));
  EXPECT_EQ(Bytes(once.iv, once.iv + 16), FromHex(TALLY_PACKET_IV_HEX));
  EXPECT_EQ(Bytes(again.key, again.key + 16), Bytes(once.key, once.key + 16));
}

}  // namespace
