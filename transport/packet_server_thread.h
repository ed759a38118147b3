#pragma once

// The service's network side: one listening socket on [::]:port (dual-stack)
// and one server thread that runs every accept, read, write and packet
// handler call.
//
// Threads: every member is called from the owner's thread, never from the
// server thread. Stop sequence: PostStop, Join, then delete. Deleting while
// the server thread still runs stops it and waits for it without limit, since
// nothing may be freed under it; owners that must not block use Ended().

#include <atomic>
#include <chrono>
#include <memory>

#include "server/event_handler.h"
#include "transport/packet_handler.h"

namespace boost {
class thread;
}  // namespace boost

namespace norla_server {

class KPacketServerThreadImpl;

// Codes written by Start; the service reports them unchanged.
constexpr unsigned int kStartNoThreadObject = 5001;
constexpr unsigned int kStartNoImpl = 5011;
constexpr unsigned int kStartSocketOpenFailed = 5012;
constexpr unsigned int kStartThreadFailed = 5014;

// How long a connection has, from accept, to deliver its frame and take its
// reply; a peer that stalls loses its connection instead of holding it.
constexpr std::chrono::milliseconds kSessionDeadline{30000};

// Open connections one peer address may hold; 0 means no limit.
constexpr unsigned int kDefaultMaxConnectionsPerAddress = 256;

class KPacketServerThread {
 public:
  // Listens on the low 16 bits of `port` and starts the server thread, which
  // gives every connection a copy of `handler`. Returns the new object, owned
  // by the caller, or null with `errorOut` set to one of the codes above
  // (5012 and 5014 are logged through OutputLog with source "initialize").
  // `errorOut` is not written on success. An exception from constructing the
  // io_context passes through, with nothing left behind.
  // Further connections from an address that holds `maxPerAddress` open ones
  // are closed at once, without data.
  static KPacketServerThread* Start(int port, PacketHandler handler, unsigned int& errorOut,
                                    std::chrono::milliseconds sessionDeadline = kSessionDeadline,
                                    unsigned int maxPerAddress = kDefaultMaxConnectionsPerAddress);

  ~KPacketServerThread();
  KPacketServerThread(KPacketServerThread const&) = delete;
  KPacketServerThread& operator=(KPacketServerThread const&) = delete;

  // Sets who receives OnConnect / OnConnectRefused (null: nobody) for every
  // connection accepted from now on. Not owned; must stay valid until this
  // object is deleted.
  void SetEventHandler(INorlaEventHandler* handler);

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
  std::atomic<INorlaEventHandler*> eventHandler_{nullptr};
};

}  // namespace norla_server
