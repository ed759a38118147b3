#pragma once

// One admitted TCP connection: reads one frame (4-byte header, then exactly
// the body length), hands the body to the packet handler, writes the reply
// frame, shuts the connection down and closes. A load balancer's connection
// reads the balancer's PROXY header first (see proxy_header.h).
//
// Ownership: a session lives only in shared pointers, and the one that keeps
// it alive is held by its pending asynchronous operation, so a connection owns
// itself through its pending operations. When the connection ends (reply
// written, read or write failed, frame dropped, closed by KSessionDeadlines)
// no operation is left pending and the session is freed. Sessions whose operations are
// discarded by destroying the io_context are freed with them.
//
// An asynchronous handler's reply callback is such an operation too: it
// holds the session until called, and posts the reply back to its thread.
//
// Threads: everything runs on the thread running the io_context.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/intrusive/list_hook.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "transport/address_counts.h"
#include "transport/packet.h"
#include "transport/packet_handler.h"
#include "transport/traffic_counts.h"
#include "transport/transport_events.h"

namespace norla_server {

class KPacketSession : public std::enable_shared_from_this<KPacketSession> {
 public:
  using Pointer = std::shared_ptr<KPacketSession>;

  // A session whose socket is not yet open; the acceptor accepts into it.
  // `events` (may be null) receives the lines of exceptions; `traffic` (may
  // be null) the time from Start to reply written. Both must outlive every
  // completion of the session.
  static Pointer Create(boost::asio::io_context& io, PacketHandler handler,
                        ITransportEvents* events, KTrafficCounts* traffic = nullptr);

  KPacketSession(KPacketSession const&) = delete;
  KPacketSession& operator=(KPacketSession const&) = delete;

  // Set before Start: the body then goes to `handler`, whose reply may come
  // later and from another thread, instead of the synchronous handler.
  void SetAsyncHandler(AsyncPacketHandler const& handler) { asyncHandler_ = handler; }

  boost::asio::ip::tcp::socket& socket() { return socket_; }
  // Filled in by the accept itself, which saves asking the kernel again.
  boost::asio::ip::tcp::endpoint& peerEndpoint() { return peerEndpoint_; }

  // Serves the accepted connection of `peer` (its address text), which holds
  // `slot` among its address's connections until it ends.
  void Start(std::string peer, KAddressCounts::Slot slot);

  // Decides on a proxied connection once its header is read: calls Start, or
  // Close. `valid` false: the header was malformed. peer() then names the
  // client (or still the balancer, for a LOCAL or malformed header).
  using ProxyAdmission = std::function<void(Pointer const& session, bool valid)>;

  // Serves a connection of the load balancer `peer`: reads its PROXY header
  // and hands the outcome to `admit`. A connection closed before its header
  // ends quietly, without `admit`.
  void StartProxied(std::string peer, ProxyAdmission admit);

  std::string const& peer() const { return peer_; }

  // True until the whole frame has arrived: such a connection has given
  // nothing to serve yet, and is the one to close when descriptors run out.
  bool AwaitingFrame() const { return !closed_ && !frameReceived_; }

  // Ends the connection: closes the socket, leaves the deadline list, gives
  // back the address slot and drops the handler copy. Pending completions then find the session closed and let
  // go of it. Safe to call more than once.
  void Close();

 private:
  friend class KSessionDeadlines;
  using DeadlineHook = boost::intrusive::list_member_hook<
      boost::intrusive::link_mode<boost::intrusive::auto_unlink>>;

  KPacketSession(boost::asio::io_context& io, PacketHandler handler, ITransportEvents* events,
                 KTrafficCounts* traffic);

  void ReadProxyHeader(std::size_t have, std::size_t want);
  void OnReadProxyHeader(boost::system::error_code const& error, std::size_t have);
  void ReadHeader();
  void OnReadHeader(boost::system::error_code const& error);
  void OnReadBody(boost::system::error_code const& error);
  void OnWrite(boost::system::error_code const& error);
  // The asynchronous handler's round: hand the body over, then write what
  // comes back (on this session's thread) unless the session closed meanwhile.
  void AnswerLater();
  void OnLateReply(bool send, std::string const& body);
  void WriteReply();

  // Runs one completion step; an exception from it (the packet handler's
  // included) is reported and ends this connection only.
  template <typename Step>
  void Guarded(Step&& step);

  boost::asio::ip::tcp::socket socket_;
  boost::asio::ip::tcp::endpoint peerEndpoint_;
  DeadlineHook deadlineHook_;  // KSessionDeadlines' list
  std::chrono::steady_clock::time_point deadline_;
  PacketHandler handler_;
  AsyncPacketHandler asyncHandler_;
  ITransportEvents* events_;
  KTrafficCounts* traffic_;
  std::chrono::steady_clock::time_point started_;
  std::string peer_;
  KAddressCounts::Slot addressSlot_;
  ProxyAdmission admit_;  // set until a proxied connection's header is read
  bool closed_ = false;
  bool frameReceived_ = false;
  TPacket packet_;  // the frame as received; first the PROXY header, if any
  TPacket reply_;   // the reply frame; valid until the write completes
};

}  // namespace norla_server
