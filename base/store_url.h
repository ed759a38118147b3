#pragma once

// The `store` setting: where the register of clients lives. Socket-free, so
// the configuration load and the service read it the same way.
//
//   memory                               this process only (also when absent)
//   redis://HOST:PORT[/DB]               one Redis server
//   sentinel://HOST:PORT[,HOST:PORT]/NAME  the master NAME as the sentinels say

#include <cstdint>
#include <string>
#include <vector>

namespace tally {

struct StoreAddress {
  std::string host;
  std::uint16_t port = 0;
};

struct StoreUrl {
  enum class Kind { kMemory, kRedis, kSentinel };
  Kind kind = Kind::kMemory;
  std::vector<StoreAddress> servers;  // the Redis server, or the sentinels
  unsigned int database = 0;          // redis:// only
  std::string masterName;             // sentinel:// only
};

// Parses `text` into `url`; on failure returns false and says why in `why`.
bool ParseStoreUrl(std::string const& text, StoreUrl& url, std::string& why);

}  // namespace tally
