#include "bench/ref_session.h"

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

namespace tally_bench {
namespace asio = boost::asio;
using boost::system::error_code;

void RefSession::Start(asio::ip::tcp::socket socket, unsigned long& served) {
  (new RefSession(std::move(socket), served))->ReadHeader();
}

RefSession::RefSession(asio::ip::tcp::socket socket, unsigned long& served)
    : socket_(std::move(socket)), served_(served) {}

void RefSession::ReadHeader() {
  asio::async_read(socket_, asio::buffer(packet_.data, norla_server::kPacketHeaderSize),
                   [this](error_code ec, std::size_t) {
                     if (ec) return Close();
                     norla_server::DecodePacketHeader(packet_.data, packet_.bodyLength,
                                                      packet_.checksum);
                     if (norla_server::CheckPacketHeader(packet_.bodyLength, packet_.checksum) !=
                         norla_server::HeaderVerdict::kReadBody) {
                       return Close();
                     }
                     ReadBody();
                   });
}

void RefSession::ReadBody() {
  asio::async_read(socket_, asio::buffer(packet_.body(), packet_.bodyLength),
                   [this](error_code ec, std::size_t) {
                     if (ec) return Close();
                     if (norla_server::PacketChecksum(packet_.body(), packet_.bodyLength) !=
                         packet_.checksum) {
                       return Close();
                     }
                     WriteReply();
                   });
}

void RefSession::WriteReply() {
  // The daemon recomputes the CRC over its reply body; so does the echo.
  norla_server::EncodePacketHeader(
      packet_.data, packet_.bodyLength,
      norla_server::PacketChecksum(packet_.body(), packet_.bodyLength));
  asio::async_write(socket_,
                    asio::buffer(packet_.data, norla_server::kPacketHeaderSize + packet_.bodyLength),
                    [this](error_code ec, std::size_t) {
                      if (!ec) {
                        ++served_;
                        error_code ignored;
                        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
                      }
                      Close();
                    });
}

void RefSession::Close() {
  error_code ignored;
  socket_.close(ignored);
  delete this;
}

}  // namespace tally_bench
