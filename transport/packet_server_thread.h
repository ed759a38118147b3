#pragma once

// The service's network side: one listening socket on [::]:port (dual-stack)
// and one server thread that runs every accept, read, write and packet
// handler call.
//
// Threads: every member is called from the owner's thread, never from the
// server thread. Stop sequence: PostStop, Join, then delete. Deleting while
// the server thread still runs stops it and waits for it without limit, since
// nothing may be freed under it; owners that must not block use Ended().

#include <chrono>
#include <cstdint>
#include <memory>

#include "transport/ip_access_list.h"
#include "transport/packet_handler.h"
#include "transport/proxy_sources.h"
#include "transport/transport_events.h"

namespace boost {
class thread;
}  // namespace boost

namespace norla_server {

class KPacketServerThreadImpl;
class KTrafficCounts;

// What Start could not do; the service turns it into its creation code.
enum class StartFailure {
  kNoThreadObject,  // the KPacketServerThread could not be allocated
  kNoImpl,          // its implementation object could not be allocated
  kSocketOpen,      // opening, binding or listening failed (reported as a line)
  kThreadStart,     // the server thread could not be started (reported as a line)
};

// How long a connection has, from accept, to deliver its frame and take its
// reply; a peer that stalls loses its connection instead of holding it.
constexpr std::chrono::milliseconds kSessionDeadline{30000};

// Open connections one peer address may hold; 0 means no limit.
constexpr unsigned int kDefaultMaxConnectionsPerAddress = 256;

struct ServerThreadOptions {
  // Not owned; must outlive the KPacketServerThread. Null: nothing reported.
  ITransportEvents* events = nullptr;
  // Null: admit every peer.
  std::shared_ptr<IpAccessLists const> accessLists;
  std::chrono::milliseconds sessionDeadline = kSessionDeadline;
  // Further connections from an address that holds this many open ones are
  // closed at once, without data; 0 means no limit.
  unsigned int maxPerAddress = kDefaultMaxConnectionsPerAddress;
  // Load balancers whose connections begin with a PROXY header; none by default.
  KProxySources proxySources;
  // When set, connections answer through it instead of Start's handler.
  AsyncPacketHandler asyncHandler;
};

class KPacketServerThread {
 public:
  // Listens on `port` (as KPacketServerThreadImpl::init) and starts the server
  // thread, which gives every connection a copy of `handler`. Returns the new
  // object, owned by the caller, or null with `failure` set. `failure` is not
  // written on success. An exception from constructing the io_context passes
  // through, with nothing left behind.
  static KPacketServerThread* Start(int port, PacketHandler handler,
                                    ServerThreadOptions const& options, StartFailure& failure);

  ~KPacketServerThread();
  KPacketServerThread(KPacketServerThread const&) = delete;
  KPacketServerThread& operator=(KPacketServerThread const&) = delete;

  // Replaces the access lists whole for every connection accepted from now on.
  void SetAccessLists(std::shared_ptr<IpAccessLists const> lists);

  // Connections refused for `reason` since Start.
  std::uint64_t Refusals(RefusalReason reason) const;
  // Accepted connections and request durations since Start; null before.
  KTrafficCounts const* Traffic() const;

  // Asks the server thread to stop and returns at once. The packet handler
  // call in progress, if any, finishes first; then the listener is closed.
  void PostStop();

  // Waits for the server thread to end, at most `milliseconds` (0: no limit).
  void Join(unsigned long milliseconds);

  // True once the server thread has ended (or never ran).
  bool Ended() const;

 private:
  KPacketServerThread() = default;

  std::unique_ptr<KPacketServerThreadImpl> impl_;
  std::unique_ptr<boost::thread> thread_;
};

}  // namespace norla_server
