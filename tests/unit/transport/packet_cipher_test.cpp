// The packet cipher and the run-time key decoding.

#include "transport/packet_cipher.h"

#include <gtest/gtest.h>

#include <array>
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

Bytes PacketKey() {
  unsigned char key[16];
  unsigned char iv[16];
  norla::NorlaDecodeEncryptionKey(key, iv);
  return Bytes(key, key + 16);
}

Bytes PacketIv() {
  unsigned char key[16];
  unsigned char iv[16];
  norla::NorlaDecodeEncryptionKey(key, iv);
  return Bytes(iv, iv + 16);
}

Bytes Message(std::size_t length, unsigned char seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(seed * 31 + i);
  return bytes;
}

TEST(PacketCipher, MatchesPublishedCbcVectors) {
  // AES-128-CBC known answer from NIST SP 800-38A, F.2.1/F.2.2.
  Bytes const key = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
  Bytes const iv = FromHex("000102030405060708090a0b0c0d0e0f");
  Bytes const plain = FromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  Bytes const cipher = FromHex(
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");

  Bytes out(plain.size());
  ASSERT_TRUE(norla::NorlaAESExecute(plain.data(), out.data(), out.size(), key.data(), iv.data(),
                                     true, true));
  EXPECT_EQ(out, cipher);
  ASSERT_TRUE(norla::NorlaAESExecute(cipher.data(), out.data(), out.size(), key.data(), iv.data(),
                                     false, true));
  EXPECT_EQ(out, plain);
}

TEST(PacketCipher, RoundTripOf512BytesLeavesIvUntouched) {
  Bytes const key = PacketKey();
  Bytes const iv = PacketIv();
  Bytes ivCopy = iv;
  Bytes const plain = Message(512, 3);
  Bytes cipher(512, 0xAA);
  Bytes back(512, 0x55);

  ASSERT_TRUE(norla::NorlaAESExecute(plain.data(), cipher.data(), 512, key.data(), ivCopy.data(),
                                     true, true));
  EXPECT_EQ(ivCopy, iv);
  EXPECT_NE(cipher, plain);
  ASSERT_TRUE(norla::NorlaAESExecute(cipher.data(), back.data(), 512, key.data(), ivCopy.data(),
                                     false, true));
  EXPECT_EQ(back, plain);
  EXPECT_EQ(ivCopy, iv);
}

TEST(PacketCipher, EveryMessageChainsFromTheSameIv) {
  Bytes const key = PacketKey();
  Bytes const iv = PacketIv();
  Bytes first = Message(512, 1);
  Bytes second = Message(512, 2);
  std::copy(first.begin(), first.begin() + 16, second.begin());
  Bytes a(512), b(512);
  ASSERT_TRUE(
      norla::NorlaAESExecute(first.data(), a.data(), 512, key.data(), iv.data(), true, true));
  ASSERT_TRUE(
      norla::NorlaAESExecute(second.data(), b.data(), 512, key.data(), iv.data(), true, true));
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + 16, b.begin()));
  EXPECT_FALSE(std::equal(a.begin() + 16, a.begin() + 32, b.begin() + 16));
}

TEST(PacketCipher, VerifyOffGivesTheSameResult) {
  Bytes const key = PacketKey();
  Bytes const iv = PacketIv();
  Bytes const plain = Message(512, 4);
  Bytes checked(512), unchecked(512);
  ASSERT_TRUE(
      norla::NorlaAESExecute(plain.data(), checked.data(), 512, key.data(), iv.data(), true, true));
  ASSERT_TRUE(norla::NorlaAESExecute(plain.data(), unchecked.data(), 512, key.data(), iv.data(),
                                     true, false));
  EXPECT_EQ(checked, unchecked);
}

TEST(PacketCipher, RejectsBadArguments) {
  Bytes const key = PacketKey();
  Bytes const iv = PacketIv();
  Bytes const plain = Message(512, 5);
  Bytes out(512);
  struct Case {
    char const* name;
    unsigned char const* key;
    unsigned char const* iv;
    unsigned long length;
  };
  Case const cases[] = {
      {"null key", nullptr, iv.data(), 512},
      {"null iv", key.data(), nullptr, 512},
      {"length not a multiple of 16", key.data(), iv.data(), 500},
  };
  for (Case const& c : cases) {
    for (bool verify : {true, false}) {
      EXPECT_FALSE(
          norla::NorlaAESExecute(plain.data(), out.data(), c.length, c.key, c.iv, true, verify))
          << c.name << (verify ? " with verify" : "");
    }
  }
}

TEST(PacketKey, DecodesToTheConfiguredKeyAndIv) {
  EXPECT_EQ(PacketKey(), FromHex(TALLY_PACKET_KEY_HEX));
  EXPECT_EQ(PacketIv(), FromHex(TALLY_PACKET_IV_HEX));
  // Stable: the decoding is a pure function of the stored tables.
  EXPECT_EQ(PacketKey(), PacketKey());
}

}  // namespace
