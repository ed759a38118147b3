#include "ctl/admin_http_client.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

namespace tallyctl {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr unsigned kHttp11 = 11;
constexpr char kUserAgent[] = "tallyctl/1.0";

// The steps chained as completion handlers: Beast applies the stream's
// deadline only to asynchronous operations.
struct Exchange {
  asio::io_context io;
  tcp::resolver resolver{io};
  beast::tcp_stream stream{io};
  beast::flat_buffer buffer;
  http::request<http::empty_body> request;
  http::response<http::string_body> response;
  beast::error_code error;
  char const* step = "resolve";

  void Run(AdminUrl const& url) {
    stream.expires_after(AdminHttpClient::kTimeLimit);
    resolver.async_resolve(url.host, url.port, [this](auto ec, tcp::resolver::results_type found) {
      if (Failed(ec, "connect")) return;
      stream.async_connect(found, [this](auto ec, auto const&) {
        if (Failed(ec, "send")) return;
        http::async_write(stream, request, [this](auto ec, std::size_t) {
          if (Failed(ec, "read the answer")) return;
          http::async_read(stream, buffer, response, [this](auto ec, std::size_t) {
            Failed(ec, "");
          });
        });
      });
    });
    // The resolver has no deadline of its own.
    asio::steady_timer limit(io, AdminHttpClient::kTimeLimit);
    limit.async_wait([this](auto ec) {
      if (!ec) resolver.cancel();
    });
    io.run_for(AdminHttpClient::kTimeLimit + std::chrono::seconds(1));
  }

  bool Failed(beast::error_code ec, char const* next) {
    if (ec) {
      error = ec;
      io.stop();
      return true;
    }
    step = next;
    if (*next == '\0') io.stop();
    return false;
  }
};

}  // namespace

HttpAnswer AdminHttpClient::Send(http::verb method, std::string const& target) const {
  Exchange exchange;
  http::request<http::empty_body>& request = exchange.request;
  request = http::request<http::empty_body>(method, target, kHttp11);
  request.set(http::field::host, url_.Authority());
  request.set(http::field::user_agent, kUserAgent);
  request.set(http::field::connection, "close");
  if (!token_.empty()) request.set(http::field::authorization, "Bearer " + token_);
  if (method == http::verb::delete_ || method == http::verb::post) {
    request.set("X-Tallyd-Admin", "1");
    request.content_length(0);
  }
  exchange.Run(url_);

  HttpAnswer answer;
  if (exchange.error || *exchange.step != '\0') {
    std::string const why =
        exchange.error == beast::error::timeout || !exchange.error
            ? "no answer within " + std::to_string(kTimeLimit.count()) + " s"
            : exchange.error.message();
    answer.failure = std::string("cannot ") + exchange.step + ": " + why;
    return answer;
  }
  answer.status = static_cast<int>(exchange.response.result_int());
  answer.body = std::move(exchange.response.body());
  return answer;
}

}  // namespace tallyctl
