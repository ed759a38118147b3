#pragma once

// The listening socket and its accept loop. Exactly one accept is pending at
// any time (or, after running out of memory, a short timer that arms it
// again). Each accepted peer is reported with OnConnect, tested against the
// access lists and its address's connection cap, and then either refused
// (closed without data, counted, OnRefused) or served by its KPacketSession.
//
// A connection from a listed load balancer is first asked for its PROXY
// header, and the client it names goes through the same steps in its place:
// the access lists, the cap and the events see clients, never the balancer.
// The balancer's own connections hold no place under the cap while their
// header is read; the session deadline covers that read.
//
// Out of descriptors, the oldest connections that have not delivered their
// frame are closed to make room, so a peer holding idle connections cannot
// lock everyone else out until the session deadline; one error line is
// logged per episode.
//
// Threads: constructed on any thread before the io_context runs; everything
// else runs on the thread running the io_context.

#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/address_counts.h"
#include "transport/ip_access_list.h"
#include "transport/packet_handler.h"
#include "transport/packet_session.h"
#include "transport/proxy_sources.h"
#include "transport/session_deadlines.h"
#include "transport/traffic_counts.h"
#include "transport/transport_events.h"

namespace norla_server {

// Refused connections by reason; written on the server thread, read anywhere.
class KRefusalCounts {
 public:
  void Add(RefusalReason reason) { counts_[Index(reason)].fetch_add(1, std::memory_order_relaxed); }
  std::uint64_t Count(RefusalReason reason) const {
    return counts_[Index(reason)].load(std::memory_order_relaxed);
  }

 private:
  static std::size_t Index(RefusalReason reason) { return static_cast<std::size_t>(reason); }
  std::array<std::atomic<std::uint64_t>, kRefusalReasonCount> counts_{};
};

// What a server is given besides its socket.
struct KPacketServerSettings {
  PacketHandler handler;                // each session gets a copy
  AsyncPacketHandler asyncHandler;      // when set, used instead of `handler`
  ITransportEvents* events = nullptr;   // not owned; may be null
  KTrafficCounts* traffic = nullptr;    // not owned; may be null
  std::chrono::milliseconds sessionDeadline{30000};
  unsigned int maxPerAddress = 0;       // open connections per address; 0: no limit
  KProxySources proxySources;           // load balancers that send a PROXY header
};

class KPacketServer {
 public:
  // Opens an acceptor on `endpoint` with reuse-address, dual-stack when the
  // endpoint is IPv6, and a backlog of 128. Throws boost::system::system_error
  // whose text names the failing step ("bind: ...").
  // `accessLists`, `refusals` and the events sink must outlive the server.
  KPacketServer(boost::asio::io_context& io, boost::asio::ip::tcp::endpoint const& endpoint,
                KPacketServerSettings settings, KAccessListSlot const& accessLists,
                KRefusalCounts& refusals);
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

  // How long to wait before accepting again after `error` when no connection
  // could be closed to make room: a pause when the process is out of
  // descriptors or memory (the refused connection stays in the backlog, so
  // accepting at once would fail again at once), else none.
  static std::chrono::milliseconds AcceptRetryDelay(boost::system::error_code const& error);

 private:
  // Serves `session` or refuses it; a balancer's after its header.
  void Admit(KPacketSession::Pointer const& session);
  void AdmitProxied(KPacketSession::Pointer const& session, bool valid);
  // The access lists and the cap for `peer`, then Start.
  void AdmitPeer(KPacketSession::Pointer const& session, std::string peer);
  void Refuse(std::string const& peer, RefusalReason reason);

  // Makes room after a failed accept where it can; returns the delay before
  // the next one.
  std::chrono::milliseconds RecoverFromAcceptError(boost::system::error_code const& error);
  void NoteDescriptorShortage();

  // Arms the next accept after `delay`; never on a closed acceptor.
  void ArmAccept(std::chrono::milliseconds delay);

  boost::asio::io_context& io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retryTimer_;
  KPacketServerSettings settings_;
  KAccessListSlot const& accessLists_;
  KRefusalCounts& refusals_;
  std::shared_ptr<KAddressCounts> addressCounts_;
  KSessionDeadlines deadlines_;
  bool inDescriptorShortage_ = false;
  std::chrono::steady_clock::time_point lastDescriptorShortage_;
};

}  // namespace norla_server
