#include "bench/ref_server.h"

#include "bench/ref_session.h"

namespace tally_bench {
namespace asio = boost::asio;
using asio::ip::tcp;

RefServer::RefServer(asio::io_context& io, std::uint16_t port) : acceptor_(io) {
  tcp::endpoint endpoint(asio::ip::address_v6::any(), port);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(128);
  port_ = acceptor_.local_endpoint().port();
  Accept();
}

void RefServer::Accept() {
  acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) RefSession::Start(std::move(socket), served_);
    Accept();
  });
}

void RefServer::Close() {
  boost::system::error_code ignored;
  acceptor_.close(ignored);
}

}  // namespace tally_bench
