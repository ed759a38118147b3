#pragma once

// Helpers for the transport tests: a blocking loopback client with time
// limits, frame building, a free port, a capturing log sink and an event
// recorder.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/event_handler.h"

namespace transport_test {

using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

// Polls `done` until it holds or `timeout` passes; true when it held.
bool WaitFor(std::function<bool()> const& done, std::chrono::milliseconds timeout = 10s);

// A frame around `body` with its correct CRC-16 in the header.
Bytes MakeFrame(Bytes const& body);

// A body of `length` bytes whose CRC-16 is not 0, so it is deliverable.
Bytes DeliverableBody(std::size_t length, unsigned char seed = 1);

// A TCP port that was free a moment ago on [::] and 0.0.0.0.
unsigned short FreePort();

// True when a TCP connection to 127.0.0.1:port is accepted by the system.
bool PortAcceptsConnections(unsigned short port);

struct Received {
  Bytes bytes;
  bool closed = false;  // the server closed (end of stream or reset)
};

// One blocking client connection from `from` (a local 127.x address) to
// 127.0.0.1:port, or from an IPv6 address such as ::1 to [::1]:port.
class LoopbackClient {
 public:
  enum When { kConnectNow, kConnectLater };
  explicit LoopbackClient(unsigned short port, char const* from = "127.0.0.1",
                          When when = kConnectNow);
  ~LoopbackClient();
  LoopbackClient(LoopbackClient const&) = delete;
  LoopbackClient& operator=(LoopbackClient const&) = delete;

  // Connects the socket made by a kConnectLater client; needs no new descriptor.
  bool Connect();
  bool connected() const { return connected_; }
  bool Send(Bytes const& bytes);
  // Sends `bytes` in pieces of `piece` bytes, each pushed out on its own.
  bool SendInPieces(Bytes const& bytes, std::size_t piece);
  // Everything the server sends until it closes, or until `timeout`.
  Received ReadUntilClosed(std::chrono::milliseconds timeout = 10s);

 private:
  unsigned short port_;
  bool v6_;
  int fd_ = -1;
  bool connected_ = false;
};

// Installs a sink that keeps every line; restores the previous sink on exit.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(LogCapture const&) = delete;
  LogCapture& operator=(LogCapture const&) = delete;

  std::vector<std::string> Lines() const;
  bool WaitForLine(std::string const& line, std::chrono::milliseconds timeout = 10s) const;
};

// Records OnConnect / OnConnectRefused as "connect <peer>" / "refused <peer>".
class EventRecorder final : public INorlaEventHandler {
 public:
  void OnPing() override {}
  void OnLogin(char const*, char const*) override {}
  void OnLogout(char const*, char const*, bool) override {}
  void OnCountUp(char const*, char const*) override {}
  void OnCountDown(char const*, char const*) override {}
  void OnAlive(char const*, char const*) override {}
  void OnKilled(char const*) override {}
  void OnConnect(char const* peer) override { Record(std::string("connect ") + peer); }
  void OnConnectRefused(char const* peer) override { Record(std::string("refused ") + peer); }

  std::vector<std::string> Events() const;

 private:
  void Record(std::string event);

  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

// A packet handler gate: Block() parks the calling thread until Release().
class Gate {
 public:
  void Block();
  void Release();
  bool WaitUntilBlocked(std::chrono::milliseconds timeout = 10s);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool blocked_ = false;
  bool released_ = false;
};

}  // namespace transport_test
