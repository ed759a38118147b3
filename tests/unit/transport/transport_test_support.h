#pragma once

// Helpers for the transport tests: frames, a loopback client with a time
// limit, a free port, a capturing log sink and an event recorder.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "server/event_handler.h"

namespace transport_test {

using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

bool WaitFor(std::function<bool()> const& done, std::chrono::milliseconds timeout = 10s);

// `length` bytes whose CRC-16 is not 0 (so deliverable), and their frame.
Bytes Body(std::size_t length, unsigned char seed = 1);
Bytes Frame(Bytes const& body);
Bytes Flipped(Bytes bytes);  // every byte inverted

unsigned short FreePort();  // free on [::] a moment ago

struct Received {
  Bytes bytes;
  bool closed = false;  // the server ended the connection (end of stream or reset)
};

// A client socket bound to `from` (127.x or ::1); connects to the loopback
// address of the same family.
class Client {
 public:
  explicit Client(std::string const& from = "127.0.0.1");
  bool Connect(unsigned short port);  // needs no new descriptor
  // Sends `bytes`, in pieces of `piece` bytes each pushed out on its own if non-zero.
  bool Send(Bytes const& bytes, std::size_t piece = 0);
  Received ReadUntilClosed(std::chrono::milliseconds timeout = 10s);

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  boost::asio::ip::address local_;
};

// Connect, send, read until the server closes.
Received Exchange(unsigned short port, Bytes const& request, std::string const& from = "127.0.0.1",
                  std::size_t piece = 0);

// Installs a sink that keeps every line; restores the default sink on exit.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> Lines() const;
  bool WaitForLine(std::string const& line) const;
};

// Records OnConnect / OnConnectRefused as "connect <peer>" / "refused <peer>";
// OnConnect throws once when `throwOnConnect` is set.
class EventRecorder final : public INorlaEventHandler {
 public:
  void OnPing() override {}
  void OnLogin(char const*, char const*) override {}
  void OnLogout(char const*, char const*, bool) override {}
  void OnCountUp(char const*, char const*) override {}
  void OnCountDown(char const*, char const*) override {}
  void OnAlive(char const*, char const*) override {}
  void OnKilled(char const*) override {}
  void OnConnect(char const* peer) override;
  void OnConnectRefused(char const* peer) override { Record(std::string("refused ") + peer); }

  std::vector<std::string> Events() const;
  bool throwOnConnect = false;

 private:
  void Record(std::string event);
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

}  // namespace transport_test
