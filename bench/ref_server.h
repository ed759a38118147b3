#pragma once

// The reference server: only the transport work of one request per
// connection, on one thread, with the listener set up as the daemon's (IPv6
// wildcard, dual stack, address reuse, backlog 128). tally-bench --mode echo
// measures what the machine allows, as the yardstick for tallyd's figures.

#include <cstdint>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace tally_bench {

class RefServer {
 public:
  // Listens on [::]:`port` (0 picks a free port); throws boost::system::system_error
  // when the socket cannot be opened. Serves on `io`'s thread once it runs.
  RefServer(boost::asio::io_context& io, std::uint16_t port);

  std::uint16_t port() const { return port_; }
  unsigned long served() const { return served_; }  // on the io thread only

  // Stops accepting; sessions in flight finish.
  void Close();

 private:
  void Accept();

  boost::asio::ip::tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  unsigned long served_ = 0;
};

}  // namespace tally_bench
