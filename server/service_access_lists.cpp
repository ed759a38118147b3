#include "server/service_access_lists.h"

#include "server/event_log.h"
#include "server/service_transport_events.h"

namespace norla_server {

void KServiceAccessLists::Loaded(IpAccessLists const& lists) {
  tally::MutexLock lock(&listsMutex);
  summary_ = AccessListSummary{lists.deny().size(), lists.allow().size(), std::time(nullptr)};
}

AccessListSummary KServiceAccessLists::Current() const {
  tally::MutexLock lock(&listsMutex);
  return summary_;
}

bool KServiceAccessLists::Reload(KPacketServerThread& thread, AccessListSummary& summary,
                                 std::string& failure) {
  tally::MutexLock lock(&listsMutex);
  auto lists = ReloadIPConfig(failure);
  bool const ok = lists != nullptr;
  if (ok) {
    summary_ = AccessListSummary{lists->deny().size(), lists->allow().size(), std::time(nullptr)};
    thread.SetAccessLists(std::move(lists));
  }
  summary = summary_;
  lock.Unlock();
  if (!ok) {
    KServiceTransportEvents::LogError("Access lists not reloaded: " + failure);
    return false;
  }
  std::string const line = "Access lists reloaded: " + std::to_string(summary.deny) +
                           " deny patterns, " + std::to_string(summary.allow) + " allow patterns";
  OutputLog("", line.c_str(), -1, nullptr, false);
  return true;
}

}  // namespace norla_server
