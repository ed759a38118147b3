#include "transport_test_support.h"

#include <algorithm>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "server/event_log.h"
#include "transport/packet.h"

namespace transport_test {

namespace asio = boost::asio;
using asio::ip::tcp;

bool WaitFor(std::function<bool()> const& done, std::chrono::milliseconds timeout) {
  auto const until = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

Bytes Body(std::size_t length, unsigned char seed) {
  Bytes body(length);
  for (std::size_t i = 0; i < length; ++i) body[i] = static_cast<unsigned char>(seed + i * 7);
  if (length != 0 && norla_server::PacketChecksum(body.data(), length) == 0) body[length - 1] ^= 1;
  return body;
}

Bytes Frame(Bytes const& body) {
  Bytes frame(norla_server::kPacketHeaderSize);
  norla_server::EncodePacketHeader(frame.data(), body.size(),
                                   norla_server::PacketChecksum(body.data(), body.size()));
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

Bytes Flipped(Bytes bytes) {
  for (auto& b : bytes) b = static_cast<unsigned char>(~b);
  return bytes;
}

unsigned short FreePort() {
  asio::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(tcp::v6(), 0));
  return probe.local_endpoint().port();
}

Client::Client(std::string const& from) : socket_(io_), local_(asio::ip::make_address(from)) {
  socket_.open(local_.is_v6() ? tcp::v6() : tcp::v4());
  socket_.bind(tcp::endpoint(local_, 0));
}

bool Client::Connect(unsigned short port) {
  auto const server = local_.is_v6() ? asio::ip::address(asio::ip::address_v6::loopback())
                                     : asio::ip::address(asio::ip::address_v4::loopback());
  boost::system::error_code error;
  socket_.connect(tcp::endpoint(server, port), error);
  if (!error) socket_.set_option(tcp::no_delay(true), error);
  return !error;
}

bool Client::Send(Bytes const& bytes, std::size_t piece) {
  if (piece == 0) piece = std::max<std::size_t>(bytes.size(), 1);
  boost::system::error_code error;
  for (std::size_t at = 0; at < bytes.size() && !error; at += piece) {
    if (at != 0) std::this_thread::sleep_for(2ms);  // each piece its own segment
    asio::write(socket_, asio::buffer(&bytes[at], std::min(piece, bytes.size() - at)), error);
  }
  return !error;
}

Received Client::ReadUntilClosed(std::chrono::milliseconds timeout) {
  Received received;
  unsigned char buffer[2048];
  std::function<void()> readMore = [&] {
    socket_.async_read_some(
        asio::buffer(buffer), [&](boost::system::error_code error, std::size_t n) {
          received.bytes.insert(received.bytes.end(), buffer, buffer + n);
          if (!error) return readMore();
          received.closed = error == asio::error::eof || error == asio::error::connection_reset;
        });
  };
  readMore();
  io_.restart();
  io_.run_for(timeout);
  boost::system::error_code ignored;
  socket_.close(ignored);  // drops a read still pending after the time limit
  io_.restart();
  io_.poll();
  return received;
}

Received Exchange(unsigned short port, Bytes const& request, std::string const& from,
                  std::size_t piece) {
  Client client(from);
  if (!client.Connect(port) || !client.Send(request, piece)) return {};
  return client.ReadUntilClosed();
}

namespace {

std::mutex gLogMutex;
std::vector<std::string> gLogLines;

void CaptureLine(int, char const* format, ...) {
  char line[4096];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::lock_guard<std::mutex> lock(gLogMutex);
  gLogLines.emplace_back(line);
}

}  // namespace

LogCapture::LogCapture() {
  std::lock_guard<std::mutex> lock(gLogMutex);
  gLogLines.clear();
  norla_server::sg_syslogFunc = &CaptureLine;
}

LogCapture::~LogCapture() {
  norla_server::sg_syslogFunc = nullptr;
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(gLogMutex);
  return gLogLines;
}

bool LogCapture::WaitForLine(std::string const& line) const {
  return WaitFor([&] {
    auto const lines = Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  });
}

void EventRecorder::OnConnect(char const* peer) {
  Record(std::string("connect ") + peer);
  if (throwOnConnect) {
    throwOnConnect = false;
    throw std::runtime_error("host fault");
  }
}

std::vector<std::string> EventRecorder::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void EventRecorder::Record(std::string event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
}

}  // namespace transport_test
