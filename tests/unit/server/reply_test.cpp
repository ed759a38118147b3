#include "client/reply.h"

#include <gtest/gtest.h>

#include "tests/unit/server/server_test_support.h"

namespace {

using server_test::RequestText;
using server_test::Strings;

class ReplyTest : public server_test::HandlerTest {};

TEST_F(ReplyTest, LayoutAndHash) {
  std::string ping = "NORLA PING TAG\r\n";
  EXPECT_EQ(handler_->ParsePacket(ping, "192.0.2.1"), 200);
  EXPECT_EQ(handler_->MakeReply(200),
            "TALLYRPL1 200\r\n\r\nVersion: 1.00\r\nHash: d41d8cd98f00b204e9800998ecf8427e\r\n"
            "CurrentClients: 0\r\n");

  ASSERT_TRUE(handler_->SetExtParams("Zone: b\r\nArea: a"));
  Send("LOGIN", "u1", "a1");
  std::string refused = "NORLA JUMP\r\nUniqueID: x\r\n";  // 402: the fields are not taken
  EXPECT_EQ(handler_->ParsePacket(refused, "192.0.2.1"), 402);
  for (int code : {402, 303, 501}) {
    EXPECT_EQ(handler_->MakeReply(code),
              "TALLYRPL1 " + std::to_string(code) + "\r\n\r\nVersion: 1.00\r\nHash: " +
                  tally::Md5Hex("u1a1") + "\r\nCurrentClients: 1\r\nArea: a\r\nZone: b\r\n");
  }
}

TEST_F(ReplyTest, RoundTripThroughTheCipher) {
  tally::TReply reply;
  ASSERT_TRUE(
      tally::ParseReply(Exchange(RequestText("LOGIN", "u1", "a1", "2026/03/10"), 512), reply));
  EXPECT_EQ(reply.code, 200);
  EXPECT_EQ(reply.currentClients, 1u);
  // A reply longer than the body is cut at the body's length.
  EXPECT_EQ(Exchange("NORLA PING TAG", 32), handler_->MakeReply(200).substr(0, 32));

  unsigned char untouched[2] = {7, 7};
  EXPECT_TRUE((*handler_)(untouched, 0, "192.0.2.1"));
  EXPECT_EQ(untouched[0], 7);

  // Only the first 512 bytes are read and replaced.
  std::vector<unsigned char> body(600, 0x5a), plain(512), reply512(512);
  std::string text = RequestText("LOGIN", "u2", "a1");
  std::copy(text.begin(), text.end(), plain.begin());
  unsigned char key[16], iv[16];
  norla::NorlaDecodeEncryptionKey(key, iv);
  ASSERT_TRUE(norla::NorlaAESExecute(plain.data(), body.data(), 512, key, iv, true, true));
  ASSERT_TRUE((*handler_)(body.data(), body.size(), "192.0.2.1"));
  EXPECT_EQ(std::vector<unsigned char>(body.begin() + 512, body.end()),
            std::vector<unsigned char>(88, 0x5a));
  ASSERT_TRUE(norla::NorlaAESExecute(body.data(), reply512.data(), 512, key, iv, false, true));
  ASSERT_TRUE(tally::ParseReply(std::string(reply512.begin(), reply512.end()), reply));
  EXPECT_EQ(reply.currentClients, 2u);
}

TEST_F(ReplyTest, ExitFromAnotherAddressDecoratesTheLine) {
  Exchange(RequestText("LOGIN", "u1", "a1"), 128, "192.0.2.1");
  Exchange(RequestText("LOGIN", "u2", "a1"), 128, "192.0.2.1");
  Exchange(RequestText("EXIT", "u1", "a1"), 128, "192.0.2.9");
  Exchange(RequestText("EXIT", "u2", "a1"), 128, "192.0.2.1");
  EXPECT_EQ(Lines(), (Strings{"Connect : 192.0.2.1, Current clients : 1",
                              "Connect : 192.0.2.1, Current clients : 2",
                              "Disconnect : 192.0.2.1(192.0.2.9), Current clients : 1",
                              "Disconnect : 192.0.2.1, Current clients : 0"}));
}

}  // namespace
