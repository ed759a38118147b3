#pragma once

// The access lists a running instance has in force, as counts and the time
// they were read, and the one way to read them again: a reload signal and the
// admin interface both come through Reload, so they log alike.
//
// Locks: `listsMutex` guards the summary and makes reloads one at a time; no
// line is written while it is held.

#include <cstddef>
#include <ctime>
#include <string>

#include "base/mutex.h"
#include "transport/ip_access_list.h"
#include "transport/packet_server_thread.h"

namespace norla_server {

struct AccessListSummary {
  std::size_t deny = 0;
  std::size_t allow = 0;
  std::time_t loadedAt = 0;
};

class KServiceAccessLists {
 public:
  // Notes the lists read at creation.
  void Loaded(IpAccessLists const& lists) EXCLUDES(listsMutex);
  AccessListSummary Current() const EXCLUDES(listsMutex);

  // Reads "./denyip.txt" and "./allowip.txt" again and gives `thread` the new
  // lists; logs "Access lists reloaded: ..." or, keeping the old lists, an
  // error line. False with `failure` set when a file could not be read.
  bool Reload(KPacketServerThread& thread, AccessListSummary& summary, std::string& failure)
      EXCLUDES(listsMutex);

 private:
  mutable tally::Mutex listsMutex;
  AccessListSummary summary_ GUARDED_BY(listsMutex);
};

}  // namespace norla_server
