#include "server/admin_session.h"

#include <chrono>

namespace tally_admin {

namespace beast = boost::beast;

namespace {

constexpr std::chrono::seconds kRequestTime{10};

bool IsParseError(beast::error_code ec) {
  return ec.category() == beast::error_code(http::error::bad_target).category();
}

}  // namespace

AdminSession::AdminSession(boost::asio::ip::tcp::socket&& socket, AdminRouter& router, int& open)
    : stream_(std::move(socket)), router_(router), open_(open) {
  ++open_;
}

AdminSession::~AdminSession() {
  --open_;
}

void AdminSession::Run() {
  DoRead();
}

void AdminSession::DoRead() {
  parser_.emplace();
  parser_->header_limit(kHeaderLimit);
  parser_->body_limit(kBodyLimit);
  stream_.expires_after(kRequestTime);
  http::async_read(stream_, buffer_, *parser_,
                   beast::bind_front_handler(&AdminSession::OnRead, shared_from_this()));
}

void AdminSession::OnRead(beast::error_code ec, std::size_t) {
  if (ec == http::error::end_of_stream) return DoClose();
  if (ec == http::error::header_limit) {
    return DoWrite(ErrorResponse(http::status::request_header_fields_too_large,
                                 "headers over 8 KiB", 11, false));
  }
  if (ec == http::error::body_limit) {
    return DoWrite(ErrorResponse(http::status::payload_too_large, "body over 64 KiB", 11, false));
  }
  if (ec && IsParseError(ec)) {
    return DoWrite(ErrorResponse(http::status::bad_request, "malformed request", 11, false));
  }
  if (ec) return;  // time-out or reset: nothing to answer
  DoWrite(router_.Handle(parser_->release()));
}

void AdminSession::DoWrite(Response response) {
  response_ = std::move(response);
  stream_.expires_after(kRequestTime);
  http::async_write(stream_, *response_,
                    beast::bind_front_handler(&AdminSession::OnWrite, shared_from_this()));
}

void AdminSession::OnWrite(beast::error_code ec, std::size_t) {
  if (ec) return;
  if (!response_->keep_alive()) return DoClose();
  response_.reset();
  DoRead();
}

void AdminSession::DoClose() {
  beast::error_code ignored;
  stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
}

}  // namespace tally_admin
