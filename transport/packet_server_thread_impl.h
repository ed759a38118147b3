#pragma once

// The inside of KPacketServerThread: the io_context, the listener, and the
// body of the server thread. Only KPacketServerThread uses it.
//
// Threads: the constructor, init and the destructor run on the owner's thread
// (init before the server thread starts, the destructor after it has ended);
// the call operator is the server thread's body; Stop, SetAccessLists,
// Refusals and Traffic may be called from any thread at any time.

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <memory>

#include "transport/ip_access_list.h"
#include "transport/packet_server.h"
#include "transport/transport_events.h"

namespace norla_server {

class KPacketServerThreadImpl {
 public:
  // `events` (may be null) must outlive this object. Constructing the
  // io_context may throw.
  KPacketServerThreadImpl(int port, ITransportEvents* events);
  ~KPacketServerThreadImpl();  // releases the server, then the io_context
  KPacketServerThreadImpl(KPacketServerThreadImpl const&) = delete;
  KPacketServerThreadImpl& operator=(KPacketServerThreadImpl const&) = delete;

  // Listens on [::]:port (dual-stack) and arms the first accept. On failure
  // reports "Socket open failed / ..." and returns false. Only the low 16 bits
  // of the port are used, and 0 there is such a failure, since the system
  // would pick a random port that nobody knows.
  bool init(KPacketServerSettings settings, std::shared_ptr<IpAccessLists const> accessLists);

  // The server thread: runs the io_context until Stop. An exception that
  // escapes a completion is reported and the loop goes on. Closes the listener
  // before it returns.
  void operator()();

  void Stop() { io_.stop(); }
  void SetAccessLists(std::shared_ptr<IpAccessLists const> lists) {
    accessLists_.Set(std::move(lists));
  }
  std::uint64_t Refusals(RefusalReason reason) const { return refusals_.Count(reason); }
  KTrafficCounts const& Traffic() const { return traffic_; }

  // True once the thread body has finished with this object.
  bool Ended() const { return ended_.load(); }

 private:
  // Declared first: outlives everything bound to it. One thread runs it, and
  // saying so lets Asio keep completions on that thread's private queue.
  boost::asio::io_context io_{1};
  int port_;
  ITransportEvents* events_;
  KAccessListSlot accessLists_;
  KRefusalCounts refusals_;
  KTrafficCounts traffic_;
  std::unique_ptr<KPacketServer> server_;
  std::atomic<bool> ended_{false};
};

}  // namespace norla_server
