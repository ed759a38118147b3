// The packet cipher and the run-time key decoding.

#include "transport/packet_cipher.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "generated/packet_key_config.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes FromHex(std::string const& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

Bytes Crypt(Bytes const& in, Bytes const& key, Bytes const& iv, bool encrypt, bool verify = true) {
  Bytes out(in.size(), 0xA5);
  EXPECT_TRUE(norla::NorlaAESExecute(in.data(), out.data(), in.size(), key.data(), iv.data(),
                                     encrypt, verify));
  return out;
}

TEST(PacketCipher, IsCbcFromTheSameIvForEveryMessage) {
  // AES-128-CBC known answer (NIST SP 800-38A F.2.1), two blocks for the chaining.
  Bytes const key = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
  Bytes const iv = FromHex("000102030405060708090a0b0c0d0e0f");
  Bytes const plain = FromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
  Bytes const cipher = FromHex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2");
  EXPECT_EQ(Crypt(plain, key, iv, true), cipher);
  EXPECT_EQ(Crypt(cipher, key, iv, false), plain);

  unsigned char k[16], v[16];
  norla::NorlaDecodeEncryptionKey(k, v);
  Bytes const packetKey(k, k + 16), packetIv(v, v + 16);
  EXPECT_EQ(packetKey, FromHex(TALLY_PACKET_KEY_HEX));
  EXPECT_EQ(packetIv, FromHex(TALLY_PACKET_IV_HEX));
  Bytes first(512), second(512);
  for (std::size_t i = 0; i < 512; ++i) first[i] = i * 31, second[i] = i < 16 ? first[i] : i * 7;
  Bytes const a = Crypt(first, packetKey, packetIv, true),
              b = Crypt(second, packetKey, packetIv, true);
  EXPECT_EQ(Crypt(a, packetKey, packetIv, false), first);
  EXPECT_EQ(Crypt(first, packetKey, packetIv, true, false), a);  // verify off: the same
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + 16, b.begin()));
  EXPECT_FALSE(std::equal(a.begin() + 16, a.begin() + 32, b.begin() + 16));

  EXPECT_FALSE(norla::NorlaAESExecute(a.data(), first.data(), 512, nullptr, v, true, false));
}

// The keyed cipher never resets its contexts: every pass, in any order of
// directions and lengths, must still give the bytes of a pass from the IV.
TEST(PacketCipher, KeyedPassesMatchFreshOnes) {
  norla::PacketKey packetKey;
  norla::PacketCipher cipher;
  ASSERT_TRUE(cipher.SetKey(packetKey.key, packetKey.iv));
  std::mt19937 random(7);
  struct Pass {
    bool encrypt, verify;
    std::size_t length;
  };
  for (Pass const pass : {Pass{false, true, 512}, Pass{true, true, 512}, Pass{true, false, 16},
                          Pass{true, true, 48}, Pass{false, false, 1040}, Pass{false, true, 32},
                          Pass{true, true, 512}}) {
    Bytes input(pass.length), expected(pass.length), actual(pass.length);
    for (auto& byte : input) byte = static_cast<unsigned char>(random());
    ASSERT_TRUE(norla::NorlaAESExecute(input.data(), expected.data(), pass.length, packetKey.key,
                                       packetKey.iv, pass.encrypt, pass.verify));
    ASSERT_TRUE(cipher.Execute(input.data(), actual.data(), pass.length, pass.encrypt,
                               pass.verify));
    EXPECT_EQ(actual, expected) << pass.length << (pass.encrypt ? " encrypt" : " decrypt");
  }
}

// Against the plain cast that defines the decoding, on the values where a
// faster truncation goes wrong first: halves, near-integers and signs.
TEST(PacketCipher, KeyEntriesTruncateTowardZero) {
  auto reference = [](long double entry) {
    return static_cast<unsigned char>(static_cast<std::int16_t>(static_cast<long>(-entry)) & 0xff);
  };
  std::vector<long double> entries = {0.0L, -0.0L, -0.5L, 0.5L, -1.5L, 1.5L, -2.5L, -5.99L,
                                      5.99L, -6.0L, -24831.99L, -65535.5L, 70000.25L,
                                      -0.9999999999999999999L, -1.0000000000000000001L};
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> wide(-1e6, 1e6);
  for (int i = 0; i < 2000; ++i) entries.push_back(static_cast<long double>(wide(random)) / 7);
  for (int i = 0; i < 200; ++i) entries.push_back(std::nextafter(i / 2.0L, 0.0L) * (i % 3 - 1));
  for (long double entry : entries) {
    EXPECT_EQ(norla::DecodeKeyEntry(entry), reference(entry)) << static_cast<double>(entry);
  }
}

}  // namespace
