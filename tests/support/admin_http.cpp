#include "tests/support/admin_http.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

namespace tally_test {

namespace asio = boost::asio;

HttpReply Http(unsigned short port, std::string const& method, std::string const& path,
               std::string const& headers) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  boost::system::error_code ec;
  socket.connect({asio::ip::address_v4::loopback(), port}, ec);
  std::string const text = method + " " + path + " HTTP/1.1\r\n" + headers +
                           "Connection: close\r\nContent-Length: 0\r\n\r\n";
  if (!ec) asio::write(socket, asio::buffer(text), ec);
  std::string reply;  // the whole response: the server closes after it
  if (!ec) asio::read(socket, asio::dynamic_buffer(reply), ec);
  std::size_t const body = reply.find("\r\n\r\n");
  if (ec != asio::error::eof || reply.rfind("HTTP/1.1 ", 0) != 0 || body == reply.npos) return {};
  return {std::stoi(reply.substr(9, 3)), reply.substr(body + 4)};
}

}  // namespace tally_test
