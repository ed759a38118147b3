#include <gtest/gtest.h>

#include "client/reply.h"
#include "tests/unit/server/handler_fixture.h"

namespace {

using server_test::RequestText;

class ReplyTest : public server_test::HandlerTest {};

std::string const kMd5Empty = "d41d8cd98f00b204e9800998ecf8427e";

TEST_F(ReplyTest, LayoutIsTheSameForEveryCode) {
  ASSERT_TRUE(handler_->SetExtParams("Zone: b\r\nArea: a"));
  Send("LOGIN", "u1", "a1");
  std::string const tail = "\r\n\r\nVersion: 1.00\r\nHash: " + tally::Md5Hex("u1a1") +
                           "\r\nCurrentClients: 1\r\nArea: a\r\nZone: b\r\n";
  for (int code : {200, 303, 501, 604}) {
    EXPECT_EQ(handler_->MakeReply(code), "TALLYRPL1 " + std::to_string(code) + tail);
  }
  ASSERT_TRUE(handler_->SetExtParams(nullptr));
  EXPECT_EQ(handler_->MakeReply(200).substr(10), "200" + tail.substr(0, tail.find("Area")));
}

TEST_F(ReplyTest, HashFollowsTheLastRequestThatReachedTheFields) {
  std::string ping = "NORLA PING TAG\r\n";
  EXPECT_EQ(handler_->ParsePacket(ping, "192.0.2.1"), 200);
  EXPECT_NE(handler_->MakeReply(200).find("Hash: " + kMd5Empty + "\r\n"), std::string::npos);

  Send("ALIVE", "u1", "a1");
  std::string refused = "NORLA JUMP\r\n";  // 402: fields are not read
  EXPECT_EQ(handler_->ParsePacket(refused, "192.0.2.1"), 402);
  EXPECT_EQ(handler_->ParsePacket(ping, "192.0.2.1"), 200);
  std::string reply = handler_->MakeReply(200);
  EXPECT_NE(reply.find("Hash: " + tally::Md5Hex("u1a1")), std::string::npos) << reply;

  std::string noApp = "NORLA LOGIN TAG\r\nProductID: P1\r\nUniqueID: u2\r\n";
  EXPECT_EQ(handler_->ParsePacket(noApp, "192.0.2.1"), 405);
  EXPECT_NE(handler_->MakeReply(405).find("Hash: " + tally::Md5Hex("u2")), std::string::npos);
}

TEST_F(ReplyTest, RoundTripThroughTheCipher) {
  std::string reply = Exchange(RequestText("LOGIN", "P1", "u1", "a1", server_test::kToday), 512);
  tally::TReply parsed;
  ASSERT_TRUE(tally::ParseReply(reply, parsed)) << reply;
  EXPECT_EQ(parsed.code, 200);
  EXPECT_EQ(parsed.tag, "TALLYRPL1");
  EXPECT_EQ(parsed.hash, tally::Md5Hex("u1a1"));
  EXPECT_EQ(parsed.currentClients, 1u);
  EXPECT_EQ(reply.find_first_not_of('\0', reply.find('\0')), std::string::npos)
      << "the reply is padded with zero bytes";
}

TEST_F(ReplyTest, ReplyIsCutToTheBodyLength) {
  std::string reply = Exchange("NORLA PING TAG\r\n", 32);
  EXPECT_EQ(reply, handler_->MakeReply(200).substr(0, 32));
}

TEST_F(ReplyTest, EmptyBodyGets401AndAnEmptyReply) {
  unsigned char sentinel[4] = {1, 2, 3, 4};
  EXPECT_TRUE((*handler_)(sentinel, 0, "192.0.2.1"));
  EXPECT_EQ(sentinel[0], 1);
  EXPECT_EQ(sentinel[3], 4);
  // Text of zero bytes is one line of one word: malformed, yet answered.
  std::string reply = Exchange(std::string(), 16);
  EXPECT_EQ(reply.substr(0, 13), "TALLYRPL1 402");
}

TEST_F(ReplyTest, BytesBeyond512ComeBackUnchanged) {
  std::string text = RequestText("LOGIN", "P1", "u1", "a1", "");
  std::vector<unsigned char> body(600);
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<unsigned char>(i * 7);
  unsigned char key[16], iv[16];
  norla::NorlaDecodeEncryptionKey(key, iv);
  std::vector<unsigned char> plain(512, 0);
  std::copy(text.begin(), text.end(), plain.begin());
  ASSERT_TRUE(norla::NorlaAESExecute(plain.data(), body.data(), 512, key, iv, true, true));
  std::vector<unsigned char> const original = body;

  ASSERT_TRUE((*handler_)(body.data(), body.size(), "192.0.2.1"));
  EXPECT_TRUE(std::equal(body.begin() + 512, body.end(), original.begin() + 512));
  std::vector<unsigned char> reply(512);
  ASSERT_TRUE(norla::NorlaAESExecute(body.data(), reply.data(), 512, key, iv, false, true));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply.data()), 13), "TALLYRPL1 200");
  EXPECT_EQ(handler_->ClientCount(), 1u);
}

TEST_F(ReplyTest, DisconnectFromAnotherAddressIsDecorated) {
  Exchange(RequestText("LOGIN", "P1", "u1", "a1", ""), 128, "192.0.2.1");
  Exchange(RequestText("LOGIN", "P1", "u2", "a1", ""), 128, "192.0.2.1");
  Exchange(RequestText("EXIT", "P1", "u1", "a1", ""), 128, "192.0.2.9");
  Exchange(RequestText("EXIT", "P1", "u2", "a1", ""), 128, "192.0.2.1");
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "Connect : 192.0.2.1, Current clients : 1",
                         "Connect : 192.0.2.1, Current clients : 2",
                         "Disconnect : 192.0.2.1(192.0.2.9), Current clients : 1",
                         "Disconnect : 192.0.2.1, Current clients : 0",
                     }));
}

}  // namespace
