#pragma once

// The inside of KPacketServerThread: the io_context, the listener, and the
// body of the server thread. Only KPacketServerThread uses it.
//
// Threads: the constructor, init and the destructor run on the owner's thread
// (init before the server thread starts, the destructor after it has ended);
// the call operator is the server thread's body; Stop and SetEventHandler may
// be called from any thread at any time.

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <memory>

#include "server/event_handler.h"
#include "transport/packet_handler.h"
#include "transport/packet_server.h"

namespace norla_server {

class KPacketServerThreadImpl {
 public:
  // Only the low 16 bits of `port` are used. Constructing the io_context may
  // throw.
  explicit KPacketServerThreadImpl(int port);
  ~KPacketServerThreadImpl();  // releases the server, then the io_context
  KPacketServerThreadImpl(KPacketServerThreadImpl const&) = delete;
  KPacketServerThreadImpl& operator=(KPacketServerThreadImpl const&) = delete;

  // Listens on [::]:port (dual-stack) and arms the first accept. On failure
  // logs "Socket open failed / ..." through OutputLog and returns false; a port
  // whose low 16 bits are 0 is such a failure, since the system would pick a
  // random port that nobody knows.
  bool init(PacketHandler handler, std::chrono::milliseconds sessionDeadline);

  // The server thread: runs the io_context until Stop. An exception that
  // escapes a completion is reported and the loop goes on. Closes the listener
  // before it returns.
  void operator()();

  void Stop() { io_.stop(); }
  void SetEventHandler(INorlaEventHandler* handler) { eventHandler_.store(handler); }

  // True once the thread body has finished with this object.
  bool Ended() const { return ended_.load(); }

 private:
  // Declared first: outlives everything bound to it. One thread runs it, and
  // saying so lets Asio keep completions on that thread's private queue.
  boost::asio::io_context io_{1};
  int port_;
  std::atomic<INorlaEventHandler*> eventHandler_{nullptr};
  std::unique_ptr<KPacketServer> server_;
  std::atomic<bool> ended_{false};
};

}  // namespace norla_server
