#pragma once

// What the transport tells the layer above it: log lines, accepted peers and
// refused ones. The transport knows nothing of that layer beyond this
// interface, so it builds and is tested on its own.
//
// Threads: called on the server thread, except for the start-up failures of
// KPacketServerThread::Start, which are reported on the caller's thread.
// Implementations must return promptly and must not call back into the
// transport. The strings are valid only during the call.

#include <string>

namespace norla_server {

// Syslog's numbers, so a sink can pass them on unchanged.
enum class TransportLogPriority : int {
  kError = 3,
  kInfo = 6,
};

enum class RefusalReason : int {
  kAccessList,          // refused by the deny and allow lists
  kPerAddressCap,       // the address already holds its maximum of open connections
  kDescriptorShortage,  // closed while idle to free a descriptor for other peers
  kProxyHeader,         // a load balancer's connection began without a valid PROXY header
};
constexpr int kRefusalReasonCount = 4;

class ITransportEvents {
 public:
  virtual void OnLogLine(TransportLogPriority priority, std::string const& line) = 0;
  // Every accepted peer, before it is tested against the access lists; for a
  // load balancer's connection, the client its header names, once read.
  virtual void OnConnect(std::string const& peer) = 0;
  // The connection of `peer` was closed without data for `reason`.
  virtual void OnRefused(std::string const& peer, RefusalReason reason) = 0;

 protected:
  ~ITransportEvents() = default;
};

}  // namespace norla_server
