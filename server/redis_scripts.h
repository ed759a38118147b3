#pragma once

// The register in Redis, and the Lua scripts that change it, each change one
// atomic step however many instances share it. Under the key prefix P:
//   P c:UNIQUEID  hash: app, peer, first, last (seconds), logins
//   P seen        sorted set of UniqueIDs by last LOGIN or ALIVE, for sweeps
//   P ids         the UniqueIDs at score 0, for pages in UniqueID order
//   P apps        hash: entries per AppID
//   P full        set while the register is at its limit (one line per crossing)
// Times are the Redis server's clock (TIME), one clock for every instance.
// Every script takes ARGV[1] = P and ARGV[2] = max-clients (0: none).

#include <hiredis/hiredis.h>

#include <string>
#include <vector>

#include "server/client_table.h"

namespace norla_server {

enum class RedisScript { kRegister, kLeave, kSweep, kPage };

struct ScriptText {
  std::string text;
  std::string sha1;  // as EVALSHA names it
};

ScriptText const& Script(RedisScript script);
std::vector<std::string> AllScriptTexts();

// kRegister and kLeave answer {result, count, peer, app, register line}.
// False when `reply` is not such an answer.
bool DecodeChange(redisReply const* reply, StoreReply& change);

// kSweep answers {uid, peer, count, register line} per removal.
bool DecodeSweep(redisReply const* reply, std::vector<TableLine>& lines);

// kPage answers {now, then uid, app, peer, first, last, logins per entry}.
// `monotonicNow` rebases the idle times onto this process's clock.
bool DecodePage(redisReply const* reply, std::int64_t monotonicNow,
                std::vector<ClientEntry>& entries);

}  // namespace norla_server
