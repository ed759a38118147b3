#include "server/service_transport_events.h"

#include <syslog.h>

#include "server/event_log.h"

namespace norla_server {

void KServiceTransportEvents::OnLogLine(TransportLogPriority priority, std::string const& line) {
  if (priority == TransportLogPriority::kError) return LogError(line);
  OutputLog("", line.c_str(), -1, nullptr, false);
}

void KServiceTransportEvents::OnConnect(std::string const& peer) {
  if (INorlaEventHandler* host = host_.load()) host->OnConnect(peer.c_str());
}

void KServiceTransportEvents::OnRefused(std::string const& peer, RefusalReason reason) {
  if (reason != RefusalReason::kAccessList) return;
  if (INorlaEventHandler* host = host_.load()) host->OnConnectRefused(peer.c_str());
}

void KServiceTransportEvents::LogError(std::string const& line) {
  OutputLogAt(LOG_ERR, "", line.c_str(), -1, nullptr);
}

}  // namespace norla_server
