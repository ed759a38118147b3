#include "transport/packet_exchange.h"

#include <algorithm>
#include <cstring>

namespace norla_server {

ExchangeVerdict AnswerPacket(TPacket const& received, TPacket& reply, PacketHandler const& handler,
                             std::string const& peer) {
  if (PacketChecksum(received.body(), received.bodyLength) != received.checksum) {
    return ExchangeVerdict::kDropChecksumMismatch;
  }
  std::memcpy(reply.data, received.data, FrameSize(received));
  reply.bodyLength = received.bodyLength;
  reply.checksum = received.checksum;

  if (!handler(reply.body(), reply.bodyLength, peer)) return ExchangeVerdict::kDropDeclined;

  reply.checksum = PacketChecksum(reply.body(), reply.bodyLength);
  EncodePacketHeader(reply.data, reply.bodyLength, reply.checksum);
  return ExchangeVerdict::kSendReply;
}

bool BodyMatchesChecksum(TPacket const& received) {
  return PacketChecksum(received.body(), received.bodyLength) == received.checksum;
}

void MakeReplyFrame(std::string const& body, TPacket& reply) {
  reply.bodyLength = std::min(body.size(), kPacketMaxBody);
  std::memcpy(reply.body(), body.data(), reply.bodyLength);
  reply.checksum = PacketChecksum(reply.body(), reply.bodyLength);
  EncodePacketHeader(reply.data, reply.bodyLength, reply.checksum);
}

ExchangeVerdict AnswerFrame(unsigned char const* bytes, std::size_t size, TPacket& reply,
                            PacketHandler const& handler, std::string const& peer) {
  if (size < kPacketHeaderSize) return ExchangeVerdict::kIncomplete;
  TPacket received;
  DecodePacketHeader(bytes, received.bodyLength, received.checksum);
  switch (CheckPacketHeader(received.bodyLength, received.checksum)) {
    case HeaderVerdict::kDropTooLong:
      return ExchangeVerdict::kDropTooLong;
    case HeaderVerdict::kDropZeroChecksum:
      return ExchangeVerdict::kDropZeroChecksum;
    case HeaderVerdict::kReadBody:
      break;
  }
  if (size < FrameSize(received)) return ExchangeVerdict::kIncomplete;
  std::memcpy(received.data, bytes, FrameSize(received));
  return AnswerPacket(received, reply, handler, peer);
}

}  // namespace norla_server
