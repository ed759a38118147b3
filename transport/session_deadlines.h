#pragma once

// The time limit of open sessions: every session must finish (frame in, reply
// out) within `limit` of being added, or it is closed. One coarse timer sweeps
// all sessions, instead of one timer per connection, whose arming and
// cancelling cost a timer update in the kernel on every accept of an
// otherwise idle server. The sweep runs every thirtieth of the limit (within
// 10 ms and 1 s), so a session is closed between `limit` and `limit` plus
// that interval after it was added.
//
// Sessions are listed through a hook inside them that unlinks itself when the
// session closes or is freed, so the list never holds a dead session and
// either may go first. All sessions share the one limit and are added in
// time order, so the list is ordered by deadline.
//
// Threads: everything runs on the thread running the io_context.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/intrusive/list.hpp>
#include <chrono>
#include <cstddef>
#include <functional>

#include "transport/packet_session.h"

namespace norla_server {

class KSessionDeadlines {
 public:
  KSessionDeadlines(boost::asio::io_context& io, std::chrono::milliseconds limit);
  KSessionDeadlines(KSessionDeadlines const&) = delete;
  KSessionDeadlines& operator=(KSessionDeadlines const&) = delete;

  // Gives `session` `limit` from now; one already listed keeps its deadline.
  // Not owned: it leaves the list when it closes or is freed.
  void Add(KPacketSession& session);

  // Closes up to `most` of the listed sessions still awaiting their frame,
  // oldest first, and calls `onClosed` with each. Returns how many it closed.
  std::size_t CloseOldestAwaitingFrame(std::size_t most,
                                       std::function<void(KPacketSession&)> const& onClosed);

  // Stops sweeping; listed sessions no longer expire.
  void Close();

 private:
  void Arm();
  void Sweep(boost::system::error_code const& error);

  using List = boost::intrusive::list<
      KPacketSession,
      boost::intrusive::member_hook<KPacketSession, KPacketSession::DeadlineHook,
                                    &KPacketSession::deadlineHook_>,
      boost::intrusive::constant_time_size<false>>;

  boost::asio::steady_timer timer_;
  std::chrono::milliseconds const limit_;
  std::chrono::milliseconds const tick_;
  List sessions_;
  bool armed_ = false;
  bool closed_ = false;
};

}  // namespace norla_server
