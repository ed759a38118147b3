#pragma once

// What the transport reports, passed on the way the service has always shown
// it: log lines into the ordered log stream at their priority, and OnConnect /
// OnConnectRefused to the host's event handler.
// Only access-list refusals reach the host as OnConnectRefused; the other
// refusals are counted by the transport.
//
// Threads: the transport calls it on the server thread (start-up failures on
// the creating thread); SetHost and LogError may be called from any thread.

#include <atomic>
#include <string>

#include "server/event_handler.h"
#include "transport/transport_events.h"

namespace norla_server {

class KServiceTransportEvents final : public ITransportEvents {
 public:
  // Receives OnConnect / OnConnectRefused (null: nobody) for every connection
  // accepted from now on. Not owned; must outlive this object's use.
  void SetHost(INorlaEventHandler* host) { host_.store(host); }

  void OnLogLine(TransportLogPriority priority, std::string const& line) override;
  void OnConnect(std::string const& peer) override;
  void OnRefused(std::string const& peer, RefusalReason reason) override;

  // One line at error priority, in its place in the log stream.
  static void LogError(std::string const& line);

 private:
  std::atomic<INorlaEventHandler*> host_{nullptr};
};

}  // namespace norla_server
