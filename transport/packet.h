#pragma once

// The wire frame, shared by the service and its clients:
//   offset 0  u16 big-endian  body length (at most 1024 accepted)
//   offset 2  u16 big-endian  CRC-16/ARC of the body (0 never accepted)
//   offset 4  body
// Socket-free: everything here takes and returns bytes.

#include <cstddef>
#include <cstdint>

namespace norla_server {

constexpr std::size_t kPacketHeaderSize = 4;
constexpr std::size_t kPacketMaxBody = 1024;

// One frame buffer: the header followed by room for the largest body.
struct TPacket {
  unsigned char data[kPacketHeaderSize + kPacketMaxBody] = {};
  std::size_t bodyLength = 0;
  std::uint16_t checksum = 0;

  unsigned char* body() { return data + kPacketHeaderSize; }
  unsigned char const* body() const { return data + kPacketHeaderSize; }
};

// CRC-16/ARC (poly 0x8005 reflected, init 0, no final xor); "123456789" -> 0xBB3D.
std::uint16_t PacketChecksum(unsigned char const* bytes, std::size_t length);

// Reads length and checksum from the 4 header bytes at `header`.
void DecodePacketHeader(unsigned char const* header, std::size_t& bodyLength,
                        std::uint16_t& checksum);

// Writes length and checksum as the 4 header bytes at `header`.
void EncodePacketHeader(unsigned char* header, std::size_t bodyLength, std::uint16_t checksum);

// What a received header asks the reader to do.
enum class HeaderVerdict {
  kReadBody,          // read exactly bodyLength bytes next
  kDropTooLong,       // body length above 1024
  kDropZeroChecksum,  // checksum field 0
};
HeaderVerdict CheckPacketHeader(std::size_t bodyLength, std::uint16_t checksum);

}  // namespace norla_server
