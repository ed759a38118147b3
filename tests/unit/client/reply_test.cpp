#include "client/reply.h"

#include <gtest/gtest.h>

#include "client/tally_client.h"
#include "transport/md5_hex.h"
#include "transport/packet.h"

namespace {

std::string const kReply =
    "TALLYRPL1 303\r\n\r\nVersion: 1.00\r\nHash: d41d8cd98f00b204e9800998ecf8427e\r\n"
    "CurrentClients: 42\r\nMotd: hello: world\r\nZone: b\r\n";

TEST(ParseReply, RejectsBrokenReplies) {
  auto replaced = [](std::string const& from, std::string const& to) {
    std::string text = kReply;
    return text.replace(text.find(from), from.size(), to);
  };
  std::string const broken[] = {
      "",
      replaced("Version: 1.00\r\n", ""),
      replaced("Hash: d41d8cd98f00b204e9800998ecf8427e\r\n", ""),
      replaced("CurrentClients: 42\r\n", ""),
      replaced("TALLYRPL1 303", "TALLYRPL1"),
      replaced("303\r\n\r\n", "303\r\n"),
      replaced("d41d8cd98f00b204e9800998ecf8427e", "D41D8CD98F00B204E9800998ECF8427E"),
      replaced("CurrentClients: 42", "CurrentClients: -1"),
  };
  for (auto const& text : broken) {
    tally::TReply reply;
    EXPECT_FALSE(tally::ParseReply(text, reply)) << text;
  }
}

TEST(Md5Hex, KnownDigests) {
  EXPECT_EQ(norla::Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(norla::Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

// The client encrypts with the same key and IV the service uses in both
// directions, so a request frame decodes as a reply frame, padding and all.
TEST(ReplyFrame, DecodesWhatTheEncoderWroteAndReadsEveryField) {
  auto frame = tally::EncodeRequestFrame(kReply, 200);
  ASSERT_EQ(frame.size(), norla_server::kPacketHeaderSize + 208);  // whole blocks
  tally::ExchangeResult result = tally::DecodeReplyFrame(frame, 208);
  ASSERT_EQ(result.error, tally::ExchangeError::kNone) << result.detail;
  EXPECT_EQ(result.text, kReply);
  tally::TReply const& reply = result.reply;
  EXPECT_EQ(reply.tag, "TALLYRPL1");
  EXPECT_EQ(reply.code, 303);
  EXPECT_EQ(reply.version, "1.00");
  EXPECT_EQ(reply.hash, "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(reply.currentClients, 42u);
  EXPECT_EQ(reply.extensions, (std::vector<std::pair<std::string, std::string>>{
                                  {"Motd", "hello: world"}, {"Zone", "b"}}));
}

TEST(ReplyFrame, DetectsDamage) {
  auto frame = tally::EncodeRequestFrame(kReply, 128);
  auto flipped = frame;
  flipped.back() ^= 0x01;
  EXPECT_EQ(tally::DecodeReplyFrame(flipped, 128).error, tally::ExchangeError::kBadChecksum);
  EXPECT_EQ(tally::DecodeReplyFrame(frame, 144).error, tally::ExchangeError::kBadFrame);
  auto truncated = frame;
  truncated.pop_back();
  EXPECT_EQ(tally::DecodeReplyFrame(truncated, 128).error, tally::ExchangeError::kBadFrame);
  EXPECT_EQ(tally::DecodeReplyFrame({0x00, 0x10}, 16).error, tally::ExchangeError::kBadFrame);
}

}  // namespace
