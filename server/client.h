#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace norla_server {

// One entry of the client table, keyed by UniqueID. A later LOGIN or ALIVE
// renews `lastSeen` and `lastActive` but keeps `appId` and `peer` of the
// request that created it. Wall times are for display; the idle rule reads
// only `lastActive`, so a step of the wall clock drops or keeps nobody.
struct TClient {
  std::string appId;             // AppID of the creating request
  std::time_t lastSeen = 0;      // last LOGIN or ALIVE, seconds since the epoch
  std::time_t firstSeen = 0;     // the creating request, seconds since the epoch
  std::int64_t lastActive = 0;   // last LOGIN or ALIVE, monotonic seconds
  std::uint32_t loginCount = 0;  // LOGINs not yet matched by an EXIT
  std::string peer;              // peer address text of the creating request
};

}  // namespace norla_server
