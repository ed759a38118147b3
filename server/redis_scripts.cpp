#include "server/redis_scripts.h"

#include <openssl/sha.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace norla_server {

namespace {

// Removes one entry; answers its app, its peer, the count after and
// whether the register left its limit.
constexpr char kRemove[] = R"lua(
local p, max = ARGV[1], tonumber(ARGV[2])
local function remove(uid)
  local key = p .. 'c:' .. uid
  local app, peer = unpack(redis.call('HMGET', key, 'app', 'peer'))
  redis.call('DEL', key)
  redis.call('ZREM', p .. 'ids', uid)
  redis.call('ZREM', p .. 'seen', uid)
  if redis.call('HINCRBY', p .. 'apps', app, -1) <= 0 then redis.call('HDEL', p .. 'apps', app) end
  local n = redis.call('ZCARD', p .. 'ids')
  local line = ''
  if (max == 0 or n < max) and redis.call('DEL', p .. 'full') == 1 then line = 'room' end
  return app, peer, n, line
end
)lua";

// ARGV[3] uid, [4] app, [5] peer, [6] '1' for LOGIN.
constexpr char kRegister[] = R"lua(
local p, max = ARGV[1], tonumber(ARGV[2])
local uid, key = ARGV[3], ARGV[1] .. 'c:' .. ARGV[3]
local now = tonumber(redis.call('TIME')[1])
if redis.call('EXISTS', key) == 1 then
  redis.call('HSET', key, 'last', now)
  redis.call('ZADD', p .. 'seen', now, uid)
  local kind = 'renewed'
  if ARGV[6] == '1' then
    kind = 'up'
    if tonumber(redis.call('HGET', key, 'logins')) < 4294967295 then
      redis.call('HINCRBY', key, 'logins', 1)
    end
  end
  return {kind, redis.call('ZCARD', p .. 'ids'), '', '', ''}
end
local n = redis.call('ZCARD', p .. 'ids')
if max > 0 and n >= max then return {'full', n, '', '', ''} end
redis.call('HSET', key, 'app', ARGV[4], 'peer', ARGV[5], 'first', now, 'last', now, 'logins', 1)
redis.call('ZADD', p .. 'seen', now, uid)
redis.call('ZADD', p .. 'ids', 0, uid)
redis.call('HINCRBY', p .. 'apps', ARGV[4], 1)
n = n + 1
local line = ''
if max > 0 and n >= max and redis.call('SET', p .. 'full', '1', 'NX') then line = 'full' end
return {'created', n, ARGV[5], ARGV[4], line}
)lua";

// ARGV[3] uid, [4] 'release' to remove whatever the LOGIN count.
constexpr char kLeave[] = R"lua(
local uid, key = ARGV[3], p .. 'c:' .. ARGV[3]
local logins = tonumber(redis.call('HGET', key, 'logins'))
if not logins then return {'missing', redis.call('ZCARD', p .. 'ids'), '', '', ''} end
if logins > 1 and ARGV[4] ~= 'release' then
  redis.call('HINCRBY', key, 'logins', -1)
  return {'down', redis.call('ZCARD', p .. 'ids'), '', '', ''}
end
local app, peer, n, line = remove(uid)
return {'removed', n, peer, app, line}
)lua";

// ARGV[3] time-out in seconds, [4] most removals in one call.
constexpr char kSweep[] = R"lua(
local now = tonumber(redis.call('TIME')[1])
local due = redis.call('ZRANGEBYSCORE', p .. 'seen', '-inf', now - tonumber(ARGV[3]) - 1,
                       'LIMIT', 0, tonumber(ARGV[4]))
local out = {}
for _, uid in ipairs(due) do
  local _, peer, n, line = remove(uid)
  for _, v in ipairs({uid, peer, n, line}) do out[#out + 1] = v end
end
return out
)lua";

// ARGV[3] the ZRANGEBYLEX start, [4] how many UniqueIDs.
constexpr char kPage[] = R"lua(
local out = {tonumber(redis.call('TIME')[1])}
for _, uid in ipairs(redis.call('ZRANGEBYLEX', ARGV[1] .. 'ids', ARGV[3], '+', 'LIMIT', 0,
                                tonumber(ARGV[4]))) do
  out[#out + 1] = uid
  for _, v in ipairs(redis.call('HMGET', ARGV[1] .. 'c:' .. uid, 'app', 'peer', 'first', 'last',
                                'logins')) do
    out[#out + 1] = v or ''
  end
end
return out
)lua";

ScriptText Make(std::string text) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<unsigned char const*>(text.data()), text.size(), digest);
  std::string hex;
  char byte[3];
  for (unsigned char const b : digest) {
    std::snprintf(byte, sizeof byte, "%02x", b);
    hex += byte;
  }
  return {std::move(text), std::move(hex)};
}

std::string Text(redisReply const* element) {
  if (element->type == REDIS_REPLY_INTEGER) return std::to_string(element->integer);
  if (element->type == REDIS_REPLY_STRING || element->type == REDIS_REPLY_STATUS) {
    return std::string(element->str, element->len);
  }
  return {};
}

long long Number(redisReply const* element) {
  if (element->type == REDIS_REPLY_INTEGER) return element->integer;
  long long value = 0;
  std::string const text = Text(element);
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

TableEvent RegisterLine(std::string const& text) {
  if (text == "full") return TableEvent::kRegisterFull;
  if (text == "room") return TableEvent::kRegisterRoom;
  return TableEvent::kNone;
}

struct ResultName {
  char const* name;
  TableResult result;
};
constexpr ResultName kResults[] = {
    {"created", TableResult::kCreated}, {"renewed", TableResult::kRenewed},
    {"up", TableResult::kCountedUp},     {"down", TableResult::kCountedDown},
    {"removed", TableResult::kRemoved},  {"missing", TableResult::kNotFound},
    {"full", TableResult::kFull},
};

}  // namespace

ScriptText const& Script(RedisScript script) {
  static ScriptText const scripts[] = {
      Make(kRegister), Make(std::string(kRemove) + kLeave), Make(std::string(kRemove) + kSweep),
      Make(kPage)};
  return scripts[static_cast<int>(script)];
}

std::vector<std::string> AllScriptTexts() {
  std::vector<std::string> texts;
  for (RedisScript const script :
       {RedisScript::kRegister, RedisScript::kLeave, RedisScript::kSweep, RedisScript::kPage}) {
    texts.push_back(Script(script).text);
  }
  return texts;
}

bool DecodeChange(redisReply const* reply, StoreReply& change) {
  if (reply == nullptr || reply->type != REDIS_REPLY_ARRAY || reply->elements != 5) return false;
  std::string const kind = Text(reply->element[0]);
  auto const known = std::find_if(std::begin(kResults), std::end(kResults),
                                  [&](ResultName const& r) { return kind == r.name; });
  if (known == std::end(kResults)) return false;
  TableOutcome& outcome = change.outcome;
  outcome.result = known->result;
  outcome.count = static_cast<std::size_t>(Number(reply->element[1]));
  change.appId = Text(reply->element[3]);
  if (outcome.result == TableResult::kCreated || outcome.result == TableResult::kRemoved) {
    TableEvent const event =
        outcome.result == TableResult::kCreated ? TableEvent::kConnect : TableEvent::kDisconnect;
    outcome.line = TableLine{event, "", Text(reply->element[2]), outcome.count, change.appId};
  }
  outcome.registerLine = RegisterLine(Text(reply->element[4]));
  change.status = StoreStatus::kDone;
  return true;
}

bool DecodeSweep(redisReply const* reply, std::vector<TableLine>& lines) {
  if (reply == nullptr || reply->type != REDIS_REPLY_ARRAY || reply->elements % 4 != 0) {
    return false;
  }
  for (std::size_t i = 0; i < reply->elements; i += 4) {
    auto const count = static_cast<std::size_t>(Number(reply->element[i + 2]));
    lines.push_back(TableLine{TableEvent::kTimeout, Text(reply->element[i]),
                              Text(reply->element[i + 1]), count, {}});
    TableEvent const room = RegisterLine(Text(reply->element[i + 3]));
    if (room != TableEvent::kNone) lines.push_back(TableLine{room, {}, {}, count, {}});
  }
  return true;
}

bool DecodePage(redisReply const* reply, std::int64_t monotonicNow,
                std::vector<ClientEntry>& entries) {
  if (reply == nullptr || reply->type != REDIS_REPLY_ARRAY || reply->elements % 6 != 1) {
    return false;
  }
  long long const now = Number(reply->element[0]);
  for (std::size_t i = 1; i < reply->elements; i += 6) {
    ClientEntry entry;
    entry.uniqueId = Text(reply->element[i]);
    TClient& client = entry.client;
    client.appId = Text(reply->element[i + 1]);
    client.peer = Text(reply->element[i + 2]);
    client.firstSeen = static_cast<std::time_t>(Number(reply->element[i + 3]));
    client.lastSeen = static_cast<std::time_t>(Number(reply->element[i + 4]));
    client.loginCount = static_cast<std::uint32_t>(Number(reply->element[i + 5]));
    entry.idleSeconds = now - client.lastSeen;
    client.lastActive = monotonicNow - entry.idleSeconds;
    entries.push_back(std::move(entry));
  }
  return true;
}

}  // namespace norla_server
