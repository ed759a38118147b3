#pragma once

// Descriptors and connections opened by hand in tests, closed on every path.

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <memory>
#include <utility>

namespace tally_test {

// Owns one descriptor; -1 owns none.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// A TCP connection from `from` to 127.0.0.1:`port` whose reads give up after
// `limit`, so that a missing close fails a test instead of hanging it.
inline std::unique_ptr<boost::asio::ip::tcp::socket> ConnectFrom(
    boost::asio::io_context& io, char const* from, unsigned short port,
    std::chrono::seconds limit = std::chrono::seconds(10)) {
  namespace ip = boost::asio::ip;
  auto socket = std::make_unique<ip::tcp::socket>(io, ip::tcp::v4());
  socket->bind({ip::make_address(from), 0});
  socket->connect({ip::address_v4::loopback(), port});
  timeval const timeout{static_cast<time_t>(limit.count()), 0};
  ::setsockopt(socket->native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return socket;
}

}  // namespace tally_test
