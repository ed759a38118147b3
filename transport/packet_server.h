#pragma once

// The listening socket and its accept loop. Exactly one accept is pending at
// any time (or, after running out of descriptors or memory, a short timer that
// arms it again). Each accepted peer is reported with OnConnect, tested
// against the access lists, and then either refused (OnConnectRefused, closed
// without data) or served by its KPacketSession.
//
// Threads: constructed on any thread before the io_context runs; everything
// else runs on the thread running the io_context. The event handler is read
// from an atomic that the owner may change at any time.

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>

#include "server/event_handler.h"
#include "transport/packet_handler.h"
#include "transport/packet_session.h"
#include "transport/session_deadlines.h"

namespace norla_server {

class KPacketServer {
 public:
  // Opens an acceptor on `endpoint` with reuse-address, dual-stack when the
  // endpoint is IPv6, and a backlog of 128. Throws boost::system::system_error
  // whose text names the failing step ("bind: ...").
  // `eventHandler` is not owned and must outlive the server; each session gets
  // a copy of `handler` and must finish within `sessionDeadline`.
  KPacketServer(boost::asio::io_context& io, boost::asio::ip::tcp::endpoint const& endpoint,
                PacketHandler handler, std::atomic<INorlaEventHandler*> const& eventHandler,
                std::chrono::milliseconds sessionDeadline);
  KPacketServer(KPacketServer const&) = delete;
  KPacketServer& operator=(KPacketServer const&) = delete;

  // Creates a session and starts an accept into it; OnAccept completes it.
  void MakeNewAcceptSession();

  // Completion of an accept.
  void OnAccept(KPacketSession::Pointer const& session, boost::system::error_code const& error);

  // Stops accepting: closes the listening socket, the retry timer and the
  // deadline sweep.
  void Close();

  unsigned short LocalPort() const;

  // How long to wait before accepting again after `error`: a pause when the
  // process is out of descriptors or memory (the refused connection stays in
  // the backlog, so accepting at once would fail again at once), else none.
  static std::chrono::milliseconds AcceptRetryDelay(boost::system::error_code const& error);

 private:
  // Arms the next accept after `delay`; never on a closed acceptor.
  void ArmAccept(std::chrono::milliseconds delay);

  boost::asio::io_context& io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retryTimer_;
  PacketHandler handler_;
  std::atomic<INorlaEventHandler*> const& eventHandler_;
  KSessionDeadlines deadlines_;
};

}  // namespace norla_server
