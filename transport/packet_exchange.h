#pragma once

// The socket-free heart of a session: from a received frame to the reply frame
// or a drop. KPacketSession feeds it what it read; tests and fuzzers feed it
// bytes directly.

#include <cstddef>
#include <string>

#include "transport/packet.h"
#include "transport/packet_handler.h"

namespace norla_server {

enum class ExchangeVerdict {
  kSendReply,             // `reply` holds a complete frame to write
  kDropTooLong,           // header: body length above 1024
  kDropZeroChecksum,      // header: checksum field 0
  kDropChecksumMismatch,  // body does not match the header's checksum
  kDropDeclined,          // the packet handler returned false
  kIncomplete,            // AnswerFrame only: fewer bytes than the header asks for
};

// `received` holds a frame whose header passed CheckPacketHeader: bodyLength,
// checksum and the body bytes. On kSendReply, `reply` holds the frame to send,
// kPacketHeaderSize + reply.bodyLength bytes, with a fresh checksum. Exceptions
// from the handler pass through.
ExchangeVerdict AnswerPacket(TPacket const& received, TPacket& reply, PacketHandler const& handler,
                             std::string const& peer);

// For an answer that comes later: whether the body matches the header's
// checksum, and the reply frame `reply` made from `body`.
bool BodyMatchesChecksum(TPacket const& received);
void MakeReplyFrame(std::string const& body, TPacket& reply);

// The same from raw bytes as a peer sends them; bytes beyond the frame are
// ignored, as a session never reads them.
ExchangeVerdict AnswerFrame(unsigned char const* bytes, std::size_t size, TPacket& reply,
                            PacketHandler const& handler, std::string const& peer);

// Bytes of the frame in `packet`: header plus body.
inline std::size_t FrameSize(TPacket const& packet) {
  return kPacketHeaderSize + packet.bodyLength;
}

}  // namespace norla_server
