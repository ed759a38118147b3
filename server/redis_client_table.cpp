#include "server/redis_client_table.h"

#include <map>
#include <stdexcept>
#include <utility>

#include "base/clocks.h"
#include "server/store_wait.h"

namespace norla_server {

namespace {

constexpr std::size_t kPageSlice = 256;  // UniqueIDs read per page script call

bool IsNoScript(redisReply const* reply) {
  return reply != nullptr && reply->type == REDIS_REPLY_ERROR &&
         std::string(reply->str, reply->len).rfind("NOSCRIPT", 0) == 0;
}

}  // namespace

RedisClientTable::RedisClientTable(tally::StoreUrl url, std::string keyPrefix,
                                   std::string password)
    : prefix_(std::move(keyPrefix)),
      link_(RedisLink::Settings{std::move(url), std::move(password), AllScriptTexts(),
                                [this] { RefreshCount(); }}) {
  link_.Start();
}

// PING answers from the last count: a server reached anew may hold another.
void RedisClientTable::RefreshCount() {
  link_.Send({"ZCARD", prefix_ + "ids"}, [this](redisReply const* reply) {
    if (reply != nullptr && reply->type == REDIS_REPLY_INTEGER) {
      count_ = static_cast<std::size_t>(reply->integer);
    }
  });
}

void RedisClientTable::CountAsync(std::function<void(std::size_t count)> done) {
  // The reply or the deadline, whichever comes first, both on the link's thread.
  auto pending = std::make_shared<std::function<void(std::size_t)>>(std::move(done));
  auto once = [this, pending] {
    if (auto run = std::exchange(*pending, nullptr)) run(LastKnownCount());
  };
  bool const sent = link_.Send(
      {"ZCARD", prefix_ + "ids"},
      [this, once](redisReply const* reply) {
        if (reply != nullptr && reply->type == REDIS_REPLY_INTEGER) {
          count_ = static_cast<std::size_t>(reply->integer);
        }
        once();
      },
      once);
  if (!sent) once();
}

RedisClientTable::~RedisClientTable() {
  link_.Stop();
}

void RedisClientTable::SetLimits(std::uint64_t timeoutSeconds, std::uint64_t maxClients) {
  timeoutSeconds_ = timeoutSeconds;
  maxClients_ = maxClients;
}

void RedisClientTable::Run(RedisScript script, std::vector<std::string> args,
                           RedisLink::ReplyFn done, std::function<void()> late) {
  std::vector<std::string> argv{"EVALSHA", Script(script).sha1, "0", prefix_,
                                std::to_string(maxClients_.load())};
  argv.insert(argv.end(), args.begin(), args.end());
  // Shared by the call and its retry, and run at most once (on the link's thread).
  std::function<void()> lateOnce;
  if (late) {
    auto pending = std::make_shared<std::function<void()>>(std::move(late));
    lateOnce = [pending] {
      if (auto run = std::exchange(*pending, nullptr)) run();
    };
  }
  // The server lost the script (a restart, a failover to a fresh replica):
  // the same call once more with the text.
  auto retry = [this, argv, script, done, lateOnce](redisReply const* reply) mutable {
    if (!IsNoScript(reply)) return done(reply);
    argv[0] = "EVAL";
    argv[1] = Script(script).text;
    if (!link_.Send(argv, done, lateOnce)) done(nullptr);
  };
  if (!link_.Send(std::move(argv), std::move(retry), lateOnce)) done(nullptr);
}

void RedisClientTable::Change(RedisScript script, std::vector<std::string> args, Done done) {
  auto shared = std::make_shared<Done>(std::move(done));
  std::string uniqueId = args.front();
  Run(
      script, std::move(args),
      [this, shared, uniqueId](redisReply const* reply) {
        StoreReply change;
        if (!DecodeChange(reply, change)) change.status = StoreStatus::kFailed;
        change.outcome.line.uniqueId = uniqueId;
        if (change.status == StoreStatus::kDone) count_ = change.outcome.count;
        (*shared)(change);
      },
      [this, shared] {
        ++timeouts_;
        StoreReply late;
        late.status = StoreStatus::kTimedOut;
        (*shared)(late);
      });
}

void RedisClientTable::RegisterOrRenewAsync(std::string const& uniqueId, std::string const& appId,
                                            std::string const& peer, bool login, Done done) {
  Change(RedisScript::kRegister, {uniqueId, appId, peer, login ? "1" : "0"}, std::move(done));
}

void RedisClientTable::LeaveAsync(std::string const& uniqueId, std::string const&, Done done) {
  Change(RedisScript::kLeave, {uniqueId, "exit"}, std::move(done));
}

void RedisClientTable::ReleaseAsync(std::string const& uniqueId, Done done) {
  Change(RedisScript::kLeave, {uniqueId, "release"}, std::move(done));
}

template <typename T>
std::optional<T> RedisClientTable::Query(std::vector<std::string> argv,
                                         std::function<std::optional<T>(redisReply const*)> decode) {
  return Await<T>(kWaitLimit, [&](std::function<void(std::optional<T>)> answer) {
    bool const sent = link_.Send(std::move(argv), [answer, decode](redisReply const* reply) {
      answer(reply != nullptr ? decode(reply) : std::nullopt);
    });
    if (!sent) answer(std::nullopt);
  });
}

TableOutcome RedisClientTable::WaitChange(std::function<void(Done)> const& start) {
  std::optional<TableOutcome> outcome =
      Await<TableOutcome>(kWaitLimit, [&](std::function<void(std::optional<TableOutcome>)> answer) {
        start([answer](StoreReply const& reply) {
          if (reply.status == StoreStatus::kTimedOut) return;  // Await keeps its own time
          answer(reply.status == StoreStatus::kDone ? std::optional(reply.outcome) : std::nullopt);
        });
      });
  if (outcome) return *outcome;
  TableOutcome none;
  none.count = LastKnownCount();
  return none;
}

TableOutcome RedisClientTable::RegisterOrRenew(std::string const& uniqueId,
                                               std::string const& appId, std::string const& peer,
                                               bool login) {
  return WaitChange([&](Done done) { RegisterOrRenewAsync(uniqueId, appId, peer, login, done); });
}

TableOutcome RedisClientTable::Leave(std::string const& uniqueId, std::string const& appId) {
  return WaitChange([&](Done done) { LeaveAsync(uniqueId, appId, done); });
}

TableOutcome RedisClientTable::Release(std::string const& uniqueId) {
  return WaitChange([&](Done done) { ReleaseAsync(uniqueId, done); });
}

std::optional<std::vector<ClientEntry>> RedisClientTable::PageSlice(std::string const& start,
                                                                    std::size_t count) {
  std::int64_t const now = tally::MonotonicSeconds();
  return Await<std::vector<ClientEntry>>(
      kWaitLimit, [&](std::function<void(std::optional<std::vector<ClientEntry>>)> answer) {
        Run(RedisScript::kPage, {start, std::to_string(count)},
            [answer, now](redisReply const* reply) {
              std::vector<ClientEntry> entries;
              if (!DecodePage(reply, now, entries)) return answer(std::nullopt);
              answer(std::move(entries));
            });
      });
}

std::optional<ClientEntry> RedisClientTable::Find(std::string const& uniqueId) {
  auto slice = PageSlice("[" + uniqueId, 1);
  if (!slice || slice->empty() || slice->front().uniqueId != uniqueId) return std::nullopt;
  return std::move(slice->front());
}

std::vector<ClientEntry> RedisClientTable::Page(PageQuery const& query) {
  std::vector<ClientEntry> page;
  // Matches of the prefix are adjacent in UniqueID order, as in memory.
  std::string start = query.prefix > query.after ? "[" + query.prefix
                      : query.after.empty()      ? std::string("-")
                                                 : "(" + query.after;
  while (page.size() < query.limit) {
    auto slice = PageSlice(start, kPageSlice);
    if (!slice) break;
    for (ClientEntry& entry : *slice) {
      if (entry.uniqueId.compare(0, query.prefix.size(), query.prefix) != 0) return page;
      if (!query.appId.empty() && entry.client.appId != query.appId) continue;
      if (!query.peer.empty() && entry.client.peer != query.peer) continue;
      page.push_back(std::move(entry));
      if (page.size() == query.limit) return page;
    }
    if (slice->size() < kPageSlice) break;
    start = "(" + slice->back().uniqueId;
  }
  return page;
}

std::size_t RedisClientTable::Count() {
  auto const count = Query<std::size_t>({"ZCARD", prefix_ + "ids"}, [](redisReply const* reply) {
    return reply->type == REDIS_REPLY_INTEGER ? std::optional(static_cast<std::size_t>(reply->integer))
                                              : std::nullopt;
  });
  if (count) count_ = *count;
  return LastKnownCount();
}

std::vector<std::pair<std::string, std::size_t>> RedisClientTable::CountsByApp() {
  using Counts = std::vector<std::pair<std::string, std::size_t>>;
  auto counts = Query<Counts>({"HGETALL", prefix_ + "apps"}, [](redisReply const* reply) {
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements % 2 != 0) return std::optional<Counts>();
    std::map<std::string, std::size_t> sorted;
    for (std::size_t i = 0; i < reply->elements; i += 2) {
      long long const count = std::atoll(reply->element[i + 1]->str);
      if (count > 0) {
        sorted[std::string(reply->element[i]->str, reply->element[i]->len)] =
            static_cast<std::size_t>(count);
      }
    }
    return std::optional<Counts>(Counts(sorted.begin(), sorted.end()));
  });
  return counts ? std::move(*counts) : Counts();
}

std::size_t RedisClientTable::SweepExpired() {
  std::size_t removed = 0;
  for (;;) {
    auto lines = Await<std::vector<TableLine>>(
        kWaitLimit, [&](std::function<void(std::optional<std::vector<TableLine>>)> answer) {
          Run(RedisScript::kSweep,
              {std::to_string(timeoutSeconds_.load()), std::to_string(kSweepBatch)},
              [answer](redisReply const* reply) {
                std::vector<TableLine> lines;
                if (!DecodeSweep(reply, lines)) return answer(std::nullopt);
                answer(std::move(lines));
              });
        });
    if (!lines || lines->empty()) break;
    std::size_t batch = 0;
    for (TableLine const& line : *lines) {
      if (line.event != TableEvent::kTimeout) continue;
      ++batch;
      if (listener_ != nullptr) listener_->OnExpiring(line.uniqueId);
    }
    if (listener_ != nullptr) listener_->OnSwept(*lines);
    removed += batch;
    if (batch < kSweepBatch) break;
  }
  Count();  // other instances' changes reach this one's PING replies here
  return removed;
}

std::vector<ClientEntry> RedisClientTable::Snapshot() {
  PageQuery all;
  all.limit = SIZE_MAX;
  return Page(all);
}

void RedisClientTable::Restore(std::vector<ClientEntry>) {
  throw std::logic_error("a shared register is not restored from one instance's file");
}

}  // namespace norla_server
