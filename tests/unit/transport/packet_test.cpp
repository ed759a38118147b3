// Frame codec, checksum and the socket-free exchange that sessions run.

#include "transport/packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "transport/packet_exchange.h"
#include "transport_test_support.h"

namespace norla_server {
namespace {

using transport_test::Bytes;
using transport_test::DeliverableBody;
using transport_test::MakeFrame;

std::uint16_t Crc(std::string const& text) {
  return PacketChecksum(reinterpret_cast<unsigned char const*>(text.data()), text.size());
}

TEST(PacketChecksum, IsCrc16Arc) {
  EXPECT_EQ(Crc("123456789"), 0xBB3D);  // the parameter set's check value
  EXPECT_EQ(Crc(""), 0);
  // Reflected, so a single changed bit anywhere changes the result.
  EXPECT_NE(Crc("123456789"), Crc("123456788"));
}

TEST(PacketHeader, IsBigEndianLengthThenChecksum) {
  unsigned char header[4] = {};
  EncodePacketHeader(header, 0x0400, 0xBB3D);
  EXPECT_EQ(header[0], 0x04);
  EXPECT_EQ(header[1], 0x00);
  EXPECT_EQ(header[2], 0xBB);
  EXPECT_EQ(header[3], 0x3D);

  unsigned char const wire[4] = {0xFF, 0xFE, 0x80, 0x01};
  std::size_t length = 0;
  std::uint16_t checksum = 0;
  DecodePacketHeader(wire, length, checksum);
  EXPECT_EQ(length, 0xFFFEu);
  EXPECT_EQ(checksum, 0x8001);
}

TEST(PacketHeader, VerdictAtTheLimits) {
  struct Case {
    std::size_t length;
    std::uint16_t checksum;
    HeaderVerdict verdict;
  };
  Case const cases[] = {
      {1024, 1, HeaderVerdict::kReadBody},
      {1025, 1, HeaderVerdict::kDropTooLong},
      {0xFFFF, 0, HeaderVerdict::kDropTooLong},
      {16, 0, HeaderVerdict::kDropZeroChecksum},
      {0, 0, HeaderVerdict::kDropZeroChecksum},
      {0, 7, HeaderVerdict::kReadBody},  // then fails on its checksum
  };
  for (Case const& c : cases) {
    EXPECT_EQ(CheckPacketHeader(c.length, c.checksum), c.verdict)
        << "length " << c.length << " checksum " << c.checksum;
  }
}

// Replies with every body byte inverted and remembers what it was given.
struct FlipHandler {
  int calls = 0;
  unsigned long length = 0;
  std::string peer;
  bool answer = true;

  PacketHandler Get() {
    return [this](unsigned char* body, unsigned long n, std::string const& from) {
      ++calls;
      length = n;
      peer = from;
      for (unsigned long i = 0; i < n; ++i) body[i] = static_cast<unsigned char>(~body[i]);
      return answer;
    };
  }
};

TEST(AnswerFrame, RepliesWithSameLengthAndFreshChecksum) {
  for (std::size_t length : {std::size_t{1}, std::size_t{512}, std::size_t{1024}}) {
    Bytes const body = DeliverableBody(length);
    FlipHandler handler;
    TPacket reply;
    ASSERT_EQ(AnswerFrame(MakeFrame(body).data(), length + 4, reply, handler.Get(), "192.0.2.7"),
              ExchangeVerdict::kSendReply);
    EXPECT_EQ(handler.calls, 1);
    EXPECT_EQ(handler.length, length);
    EXPECT_EQ(handler.peer, "192.0.2.7");

    Bytes flipped = body;
    for (auto& b : flipped) b = static_cast<unsigned char>(~b);
    Bytes const expected = MakeFrame(flipped);
    ASSERT_EQ(FrameSize(reply), expected.size());
    EXPECT_EQ(0, std::memcmp(reply.data, expected.data(), expected.size())) << length;
  }
}

TEST(AnswerFrame, DropsWithoutCallingTheHandler) {
  Bytes const body = DeliverableBody(32);
  Bytes const good = MakeFrame(body);

  Bytes tooLong = MakeFrame(DeliverableBody(1025));
  Bytes zeroChecksum = good;
  zeroChecksum[2] = zeroChecksum[3] = 0;
  Bytes mismatch = good;
  mismatch[10] ^= 0x40;
  Bytes emptyBody = {0, 0, 0x12, 0x34};
  Bytes shortBody(good.begin(), good.end() - 1);

  struct Case {
    char const* name;
    Bytes frame;
    ExchangeVerdict verdict;
  };
  Case const cases[] = {
      {"1025-byte body", tooLong, ExchangeVerdict::kDropTooLong},
      {"zero checksum field", zeroChecksum, ExchangeVerdict::kDropZeroChecksum},
      {"corrupted body", mismatch, ExchangeVerdict::kDropChecksumMismatch},
      {"empty body, non-zero checksum", emptyBody, ExchangeVerdict::kDropChecksumMismatch},
      {"body cut short", shortBody, ExchangeVerdict::kIncomplete},
      {"header cut short", Bytes(good.begin(), good.begin() + 3), ExchangeVerdict::kIncomplete},
  };
  for (Case const& c : cases) {
    FlipHandler handler;
    TPacket reply;
    EXPECT_EQ(AnswerFrame(c.frame.data(), c.frame.size(), reply, handler.Get(), "p"), c.verdict)
        << c.name;
    EXPECT_EQ(handler.calls, 0) << c.name;
  }
}

TEST(AnswerFrame, HandlerDecliningSendsNothing) {
  FlipHandler handler;
  handler.answer = false;
  Bytes const frame = MakeFrame(DeliverableBody(64));
  TPacket reply;
  EXPECT_EQ(AnswerFrame(frame.data(), frame.size(), reply, handler.Get(), "p"),
            ExchangeVerdict::kDropDeclined);
  EXPECT_EQ(handler.calls, 1);
}

TEST(AnswerFrame, IgnoresBytesBeyondTheFrame) {
  Bytes frame = MakeFrame(DeliverableBody(16));
  Bytes const second = MakeFrame(DeliverableBody(16, 9));
  frame.insert(frame.end(), second.begin(), second.end());
  FlipHandler handler;
  TPacket reply;
  EXPECT_EQ(AnswerFrame(frame.data(), frame.size(), reply, handler.Get(), "p"),
            ExchangeVerdict::kSendReply);
  EXPECT_EQ(handler.length, 16u);
  EXPECT_EQ(FrameSize(reply), 20u);
}

TEST(AnswerFrame, HandlerExceptionPassesThrough) {
  PacketHandler throwing = [](unsigned char*, unsigned long, std::string const&) -> bool {
    throw std::runtime_error("handler fault");
  };
  Bytes const frame = MakeFrame(DeliverableBody(16));
  TPacket reply;
  EXPECT_THROW(AnswerFrame(frame.data(), frame.size(), reply, throwing, "p"), std::runtime_error);
}

}  // namespace
}  // namespace norla_server
