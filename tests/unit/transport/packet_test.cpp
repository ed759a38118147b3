// Checksum, header codec and the socket-free exchange that sessions run.

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "transport/packet_exchange.h"
#include "transport_test_support.h"

namespace norla_server {
namespace {

using namespace transport_test;

TEST(Packet, ChecksumIsCrc16Arc) {
  auto const* check = reinterpret_cast<unsigned char const*>("123456789");
  EXPECT_EQ(PacketChecksum(check, 9), 0xBB3D);
  EXPECT_EQ(PacketChecksum(check, 0), 0);
}

TEST(Packet, HeaderIsBigEndianLengthThenChecksum) {
  unsigned char header[4] = {};
  EncodePacketHeader(header, 0x0400, 0xBB3D);
  EXPECT_EQ(Bytes(header, header + 4), (Bytes{0x04, 0x00, 0xBB, 0x3D}));
  unsigned char const wire[4] = {0xFF, 0xFE, 0x80, 0x01};
  std::size_t length = 0;
  std::uint16_t checksum = 0;
  DecodePacketHeader(wire, length, checksum);
  EXPECT_EQ(length, 0xFFFEu);
  EXPECT_EQ(checksum, 0x8001);
}

// A handler that inverts the body, declines bodies starting with 0xEE and
// counts its calls.
struct Flipper {
  int calls = 0;
  std::string peer;
  PacketHandler Get() {
    return [this](unsigned char* body, unsigned long n, std::string const& from) {
      ++calls;
      peer = from;
      if (body[0] == 0xEE) return false;
      for (unsigned long i = 0; i < n; ++i) body[i] = static_cast<unsigned char>(~body[i]);
      return true;
    };
  }
};

TEST(AnswerFrame, ReplyHasTheSameLengthAndAFreshChecksum) {
  for (std::size_t length : {1, 512, 1024}) {
    Bytes request = Frame(Body(length));
    request.resize(request.size() + 20, 0x77);  // a second frame is never read
    Flipper handler;
    TPacket reply;
    ASSERT_EQ(AnswerFrame(request.data(), request.size(), reply, handler.Get(), "192.0.2.7"),
              ExchangeVerdict::kSendReply);
    EXPECT_EQ(handler.peer, "192.0.2.7");
    EXPECT_EQ(Bytes(reply.data, reply.data + FrameSize(reply)), Frame(Flipped(Body(length))));
  }
}

TEST(AnswerFrame, Drops) {
  Bytes const good = Frame(Body(32));
  Bytes zeroChecksum = good, mismatch = good, declined = Body(32);
  zeroChecksum[2] = zeroChecksum[3] = 0;
  mismatch[10] ^= 0x40;
  declined[0] = 0xEE;
  struct Case {
    char const* name;
    Bytes frame;
    ExchangeVerdict verdict;
    int handlerCalls;
  };
  Case const cases[] = {
      {"1025-byte body", Frame(Body(1025)), ExchangeVerdict::kDropTooLong, 0},
      {"zero checksum field", zeroChecksum, ExchangeVerdict::kDropZeroChecksum, 0},
      {"zero checksum, empty body", {0, 0, 0, 0}, ExchangeVerdict::kDropZeroChecksum, 0},
      {"corrupted body", mismatch, ExchangeVerdict::kDropChecksumMismatch, 0},
      {"empty body", {0, 0, 0x12, 0x34}, ExchangeVerdict::kDropChecksumMismatch, 0},
      {"declined", Frame(declined), ExchangeVerdict::kDropDeclined, 1},
      {"body cut short", Bytes(good.begin(), good.end() - 1), ExchangeVerdict::kIncomplete, 0},
      {"header cut short", Bytes(good.begin(), good.begin() + 3), ExchangeVerdict::kIncomplete, 0},
  };
  for (Case const& c : cases) {
    Flipper handler;
    TPacket reply;
    EXPECT_EQ(AnswerFrame(c.frame.data(), c.frame.size(), reply, handler.Get(), "p"), c.verdict)
        << c.name;
    EXPECT_EQ(handler.calls, c.handlerCalls) << c.name;
  }
}

TEST(AnswerFrame, HandlerExceptionPassesThrough) {
  PacketHandler throwing = [](unsigned char*, unsigned long, std::string const&) -> bool {
    throw std::runtime_error("handler fault");
  };
  Bytes const frame = Frame(Body(16));
  TPacket reply;
  EXPECT_THROW(AnswerFrame(frame.data(), frame.size(), reply, throwing, "p"), std::runtime_error);
}

}  // namespace
}  // namespace norla_server
