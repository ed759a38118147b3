#include "transport/packet.h"

#include <boost/crc.hpp>

namespace norla_server {

std::uint16_t PacketChecksum(unsigned char const* bytes, std::size_t length) {
  boost::crc_16_type crc;
  if (length != 0) crc.process_bytes(bytes, length);
  return static_cast<std::uint16_t>(crc.checksum());
}

void DecodePacketHeader(unsigned char const* header, std::size_t& bodyLength,
                        std::uint16_t& checksum) {
  bodyLength = (static_cast<std::size_t>(header[0]) << 8) | header[1];
  checksum = static_cast<std::uint16_t>((header[2] << 8) | header[3]);
}

void EncodePacketHeader(unsigned char* header, std::size_t bodyLength, std::uint16_t checksum) {
  header[0] = static_cast<unsigned char>((bodyLength >> 8) & 0xff);
  header[1] = static_cast<unsigned char>(bodyLength & 0xff);
  header[2] = static_cast<unsigned char>(checksum >> 8);
  header[3] = static_cast<unsigned char>(checksum & 0xff);
}

HeaderVerdict CheckPacketHeader(std::size_t bodyLength, std::uint16_t checksum) {
  if (bodyLength > kPacketMaxBody) return HeaderVerdict::kDropTooLong;
  // Every body with a CRC of 0, the empty body included, is undeliverable.
  if (checksum == 0) return HeaderVerdict::kDropZeroChecksum;
  return HeaderVerdict::kReadBody;
}

}  // namespace norla_server
