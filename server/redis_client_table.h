#pragma once

// The register kept in Redis (redis_scripts.h has its layout), shared by
// every instance that names the same store and key prefix. Each change is one
// script run by EVALSHA, or by EVAL when the server has lost the script.
//
// Requests use the asynchronous calls and never wait. The synchronous calls
// wait for the answer (at most kWaitLimit) and are for the admin and sweep
// threads; when the store cannot answer they return what an empty register
// would (nothing found, an empty page, the last known count).
//
// The idle rule reads the Redis server's clock in the scripts, so instances
// whose clocks disagree still agree on who expired; a step of that one clock
// shifts every idle time alike. A sweep removes at most kSweepBatch entries
// per script call and logs only what its own calls removed, so with sweeps on
// every instance each expiry is logged once.

#include <atomic>
#include <chrono>
#include <memory>

#include "base/store_url.h"
#include "server/client_table.h"
#include "server/redis_link.h"
#include "server/redis_scripts.h"

namespace norla_server {

class RedisClientTable final : public AsyncClientTable {
 public:
  static constexpr std::chrono::milliseconds kWaitLimit{2000};
  static constexpr std::size_t kSweepBatch = 256;

  // Starts connecting at once; "Store unavailable" says when it cannot.
  RedisClientTable(tally::StoreUrl url, std::string keyPrefix, std::string password);
  ~RedisClientTable() override;

  void SetListener(ClientTableListener* listener) override { listener_ = listener; }
  void SetLimits(std::uint64_t timeoutSeconds, std::uint64_t maxClients) override;

  void RegisterOrRenewAsync(std::string const& uniqueId, std::string const& appId,
                            std::string const& peer, bool login, Done done) override;
  void LeaveAsync(std::string const& uniqueId, std::string const& appId, Done done) override;
  void ReleaseAsync(std::string const& uniqueId, Done done) override;
  std::size_t LastKnownCount() const override { return count_.load(std::memory_order_relaxed); }
  void CountAsync(std::function<void(std::size_t count)> done) override;
  std::uint64_t Timeouts() const override { return timeouts_.load(std::memory_order_relaxed); }
  void Stop() override { link_.Stop(); }

  TableOutcome RegisterOrRenew(std::string const& uniqueId, std::string const& appId,
                               std::string const& peer, bool login) override;
  TableOutcome Leave(std::string const& uniqueId, std::string const& appId) override;
  TableOutcome Release(std::string const& uniqueId) override;
  std::optional<ClientEntry> Find(std::string const& uniqueId) override;
  std::vector<ClientEntry> Page(PageQuery const& query) override;
  std::size_t Count() override;
  std::vector<std::pair<std::string, std::size_t>> CountsByApp() override;
  std::size_t SweepExpired() override;
  std::vector<ClientEntry> Snapshot() override;
  // The shared register is never replaced from one instance's file: throws
  // std::logic_error.
  void Restore(std::vector<ClientEntry> entries) override;

 private:
  // Reads the register's size into count_ without waiting.
  void RefreshCount();
  // Runs `script` with the prefix, the limit and `args`; EVAL on NOSCRIPT.
  void Run(RedisScript script, std::vector<std::string> args, RedisLink::ReplyFn done,
           std::function<void()> late = nullptr);
  void Change(RedisScript script, std::vector<std::string> args, Done done);
  // Sends `argv` and waits for `decode`'s result on the link's thread;
  // nothing when the store did not answer within kWaitLimit.
  template <typename T>
  std::optional<T> Query(std::vector<std::string> argv,
                         std::function<std::optional<T>(redisReply const*)> decode);
  // A change made on the link's thread, waited for; kNotFound when unanswered.
  TableOutcome WaitChange(std::function<void(Done)> const& start);
  // Up to `count` entries from the ZRANGEBYLEX bound `start`; nothing
  // when unanswered.
  std::optional<std::vector<ClientEntry>> PageSlice(std::string const& start, std::size_t count);

  std::string const prefix_;
  RedisLink link_;
  ClientTableListener* listener_ = nullptr;
  std::atomic<std::uint64_t> timeoutSeconds_{5 * 60};
  std::atomic<std::uint64_t> maxClients_{0};
  std::atomic<std::size_t> count_{0};
  std::atomic<std::uint64_t> timeouts_{0};
};

}  // namespace norla_server
