#pragma once

// One admin connection: reads a request, writes the router's response, and
// repeats while the client keeps the connection alive. It owns itself through
// its pending operation and ends with the last one.
//
// Bounds: 8 KiB of headers (431), 64 KiB of body (413), any other malformed
// request 400, and 10 s for each request and its response.

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <memory>
#include <optional>

#include "server/admin_router.h"

namespace tally_admin {

constexpr std::size_t kHeaderLimit = 8 * 1024;
constexpr std::size_t kBodyLimit = 64 * 1024;

class AdminSession : public std::enable_shared_from_this<AdminSession> {
 public:
  // `open` counts the sessions alive; it must outlive this session.
  AdminSession(boost::asio::ip::tcp::socket&& socket, AdminRouter& router, int& open);
  ~AdminSession();
  AdminSession(AdminSession const&) = delete;
  AdminSession& operator=(AdminSession const&) = delete;

  void Run();

 private:
  void DoRead();
  void OnRead(boost::beast::error_code ec, std::size_t bytes);
  void DoWrite(Response response);
  void OnWrite(boost::beast::error_code ec, std::size_t bytes);
  void DoClose();

  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<Response> response_;
  AdminRouter& router_;
  int& open_;
};

}  // namespace tally_admin
