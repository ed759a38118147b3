#include "server/redis_link.h"

#include <hiredis/async.h>
#include <syslog.h>

#include <algorithm>
#include <utility>
#include <boost/asio/post.hpp>

#include "base/signal_mask.h"
#include "server/event_log.h"
#include "server/redis_asio_adapter.h"

namespace norla_server {

namespace {

constexpr std::chrono::milliseconds kFirstRetry{100};
constexpr std::chrono::milliseconds kLastRetry{5000};
// Each blocking step of a connection: a sentinel's answer, the master's checks.
constexpr timeval kSetupTimeout{1, 0};
// A connection that answers nothing this long while commands wait is taken
// for lost: a host that vanished without closing would otherwise hold it until
// TCP gives up, minutes later. Longer than any pause a busy server makes.
constexpr std::chrono::seconds kSilenceLimit{5};

struct ContextFree {
  void operator()(redisContext* context) const { redisFree(context); }
};
struct ReplyFree {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using SyncContext = std::unique_ptr<redisContext, ContextFree>;
using SyncReply = std::unique_ptr<redisReply, ReplyFree>;

std::string Name(tally::StoreAddress const& address) {
  return address.host + ":" + std::to_string(address.port);
}

SyncContext Open(tally::StoreAddress const& address, std::string& why) {
  SyncContext context(redisConnectWithTimeout(address.host.c_str(), address.port, kSetupTimeout));
  if (!context || context->err != 0) {
    why = Name(address) + ": " + (context ? context->errstr : "out of memory");
    return nullptr;
  }
  redisSetTimeout(context.get(), kSetupTimeout);
  return context;
}

// One command; null with `why` set on any failure, an error reply included.
SyncReply Call(redisContext* context, std::vector<std::string> const& argv, std::string& why) {
  std::vector<char const*> args;
  std::vector<std::size_t> lengths;
  for (std::string const& arg : argv) {
    args.push_back(arg.c_str());
    lengths.push_back(arg.size());
  }
  SyncReply reply(static_cast<redisReply*>(
      redisCommandArgv(context, static_cast<int>(args.size()), args.data(), lengths.data())));
  if (!reply) {
    why = argv.front() + ": " + context->errstr;
  } else if (reply->type == REDIS_REPLY_ERROR) {
    why = argv.front() + ": " + std::string(reply->str, reply->len);
    reply.reset();
  }
  return reply;
}

bool IsReadOnlyError(redisReply const* reply) {
  return reply != nullptr && reply->type == REDIS_REPLY_ERROR &&
         std::string(reply->str, reply->len).rfind("READONLY", 0) == 0;
}

}  // namespace

RedisLink::RedisLink(Settings settings)
    : settings_(std::move(settings)),
      work_(io_.get_executor()),
      retryTimer_(io_),
      deadlineTimer_(io_),
      retryDelay_(kFirstRetry) {}

RedisLink::~RedisLink() {
  Stop();
}

void RedisLink::Start() {
  tally::BlockAsyncSignals blocked;  // stop signals belong to the main thread
  thread_ = std::thread([this] {
    Connect();
    io_.run();
  });
}

void RedisLink::Stop() {
  if (!thread_.joinable()) return;
  boost::asio::post(io_, [this] {
    stopping_ = true;
    available_ = false;
    retryTimer_.cancel();
    deadlineTimer_.cancel();
    if (context_ != nullptr) redisAsyncFree(context_);  // null replies to the queue
    context_ = nullptr;
    work_.reset();
  });
  thread_.join();
}

bool RedisLink::Send(std::vector<std::string> argv, ReplyFn done, std::function<void()> late) {
  if (!Available()) return false;
  boost::asio::post(io_, [this, argv = std::move(argv), done = std::move(done),
                          late = std::move(late)]() mutable {
    Dispatch(argv, std::move(done), std::move(late));
  });
  return true;
}

void RedisLink::Dispatch(std::vector<std::string> const& argv, ReplyFn done,
                         std::function<void()> late) {
  if (context_ == nullptr || !Available()) return done(nullptr);
  Enqueue(argv, std::move(done), std::move(late));
}

void RedisLink::Enqueue(std::vector<std::string> const& argv, ReplyFn done,
                        std::function<void()> late) {
  std::vector<char const*> args;
  std::vector<std::size_t> lengths;
  for (std::string const& arg : argv) {
    args.push_back(arg.c_str());
    lengths.push_back(arg.size());
  }
  auto pending = std::make_unique<Pending>(
      Pending{std::move(done), std::move(late), std::chrono::steady_clock::now() + kStoreReplyDeadline});
  Pending* const raw = pending.get();
  pending_.push_back(std::move(pending));
  if (redisAsyncCommandArgv(context_, &RedisLink::OnReply, raw, static_cast<int>(args.size()),
                            args.data(), lengths.data()) != REDIS_OK) {
    std::unique_ptr<Pending> refused = std::move(pending_.back());
    pending_.pop_back();
    return refused->done(nullptr);
  }
  ArmDeadlines();
}

void RedisLink::OnReply(redisAsyncContext* context, void* reply, void* privdata) {
  auto* link = static_cast<RedisLink*>(context->data);
  auto const found = std::find_if(link->pending_.begin(), link->pending_.end(),
                                  [privdata](auto const& p) { return p.get() == privdata; });
  if (found == link->pending_.end()) return;
  std::unique_ptr<Pending> pending = std::move(*found);
  link->pending_.erase(found);
  auto const* answer = static_cast<redisReply const*>(reply);
  pending->done(answer);
  // A master demoted under us: drop the connection and ask again.
  if (IsReadOnlyError(answer) && link->context_ == context) redisAsyncDisconnect(context);
}

// One wait, for the earliest of the oldest command's silence limit and the
// next deadline; a command sent later may need an earlier wake-up.
void RedisLink::ArmDeadlines() {
  if (pending_.empty()) return;
  auto when = SilentSince(*pending_.front());
  auto const next = std::find_if(pending_.begin(), pending_.end(),
                                 [](auto const& p) { return static_cast<bool>(p->late); });
  if (next != pending_.end()) when = std::min(when, (*next)->deadline);
  if (deadlineArmed_ && armedFor_ <= when) return;
  deadlineArmed_ = true;
  armedFor_ = when;
  deadlineTimer_.expires_at(when);  // aborts the wait it replaces
  deadlineTimer_.async_wait([this](boost::system::error_code const& error) {
    if (error) return;  // replaced or stopped: the newer wait owns the flag
    deadlineArmed_ = false;
    CheckDeadlines();
  });
}

std::chrono::steady_clock::time_point RedisLink::SilentSince(Pending const& oldest) {
  return oldest.deadline - kStoreReplyDeadline + kSilenceLimit;
}

// Sent in order, so deadlines come in order: the first not yet due ends the walk.
void RedisLink::CheckDeadlines() {
  auto const now = std::chrono::steady_clock::now();
  if (context_ != nullptr && !pending_.empty() && SilentSince(*pending_.front()) <= now) {
    Down(Name(master_) + ": no answer for " + std::to_string(kSilenceLimit.count()) + " s");
    // Null replies to the queue, then OnDisconnect retries.
    return redisAsyncFree(std::exchange(context_, nullptr));
  }
  for (auto& pending : pending_) {
    if (!pending->late) continue;
    if (pending->deadline > now) break;
    auto late = std::move(pending->late);
    pending->late = nullptr;
    late();
  }
  ArmDeadlines();
}

void RedisLink::Connect() {
  if (stopping_) return;
  std::string why;
  tally::StoreAddress master;
  if (!FindMaster(master, why) || !Prepare(master, why)) return Down(why), Retry();
  redisAsyncContext* context = redisAsyncConnect(master.host.c_str(), master.port);
  if (context == nullptr || context->err != 0) {
    why = Name(master) + ": " + (context != nullptr ? context->errstr : "out of memory");
    if (context != nullptr) redisAsyncFree(context);
    return Down(why), Retry();
  }
  context->data = this;
  RedisAsioAdapter::Attach(io_, context);
  redisAsyncSetConnectCallback(context, &RedisLink::OnConnect);
  redisAsyncSetDisconnectCallback(context, &RedisLink::OnDisconnect);
  context_ = context;
  master_ = master;
  // Queued ahead of everything; Prepare has seen them succeed.
  auto const ignore = [](redisReply const*) {};
  if (!settings_.password.empty()) Enqueue({"AUTH", settings_.password}, ignore, nullptr);
  Enqueue({"SELECT", std::to_string(settings_.url.database)}, ignore, nullptr);
}

bool RedisLink::FindMaster(tally::StoreAddress& master, std::string& why) {
  if (settings_.url.kind != tally::StoreUrl::Kind::kSentinel) {
    master = settings_.url.servers.front();
    return true;
  }
  std::string failures;
  for (tally::StoreAddress const& sentinel : settings_.url.servers) {
    SyncContext context = Open(sentinel, why);
    SyncReply reply;
    if (context) {
      reply = Call(context.get(), {"SENTINEL", "get-master-addr-by-name", settings_.url.masterName},
                   why);
    }
    if (reply && reply->type == REDIS_REPLY_ARRAY && reply->elements == 2) {
      unsigned long port = 0;
      try {
        port = std::stoul(reply->element[1]->str);
      } catch (std::exception const&) {
      }
      if (port > 0 && port <= 65535) {
        master = {reply->element[0]->str, static_cast<std::uint16_t>(port)};
        return true;
      }
    }
    if (reply) why = Name(sentinel) + " does not know " + settings_.url.masterName;
    failures += (failures.empty() ? "" : "; ") + why;
  }
  why = "no sentinel names the master: " + failures;
  return false;
}

bool RedisLink::Prepare(tally::StoreAddress const& master, std::string& why) {
  SyncContext context = Open(master, why);
  if (!context) return false;
  if (!settings_.password.empty() && !Call(context.get(), {"AUTH", settings_.password}, why)) {
    return false;
  }
  SyncReply role = Call(context.get(), {"ROLE"}, why);
  if (!role) return false;
  if (role->type != REDIS_REPLY_ARRAY || role->elements == 0 ||
      std::string(role->element[0]->str, role->element[0]->len) != "master") {
    why = Name(master) + " is not a master";
    return false;
  }
  if (!Call(context.get(), {"SELECT", std::to_string(settings_.url.database)}, why)) return false;
  for (std::string const& script : settings_.scripts) {
    if (!Call(context.get(), {"SCRIPT", "LOAD", script}, why)) return false;
  }
  return true;
}

void RedisLink::OnConnect(redisAsyncContext const* context, int status) {
  auto* link = static_cast<RedisLink*>(context->data);
  if (status == REDIS_OK) return link->Up();
  // hiredis frees a context whose connection failed, without a disconnect call.
  if (link->context_ == context) link->context_ = nullptr;
  link->Down(Name(link->master_) + ": " + context->errstr);
  link->Retry();
}

void RedisLink::OnDisconnect(redisAsyncContext const* context, int status) {
  auto* link = static_cast<RedisLink*>(context->data);
  if (link->context_ == context) link->context_ = nullptr;
  if (link->stopping_) return;
  link->Down(status == REDIS_OK ? Name(link->master_) + ": connection dropped"
                                : Name(link->master_) + ": " + context->errstr);
  link->Retry();
}

void RedisLink::Down(std::string const& why) {
  available_ = false;
  if (reportedDown_) return;
  reportedDown_ = true;
  OutputLogAt(LOG_ERR, "", ("Store unavailable: " + why).c_str(), -1, nullptr);
}

void RedisLink::Up() {
  retryDelay_ = kFirstRetry;
  available_ = true;
  OutputLog("", ("Store at " + Name(master_)).c_str(), -1, nullptr, false);
  if (reportedDown_) {
    reportedDown_ = false;
    OutputLog("", "Store available again", -1, nullptr, false);
  }
  if (settings_.onConnected) settings_.onConnected();
}

void RedisLink::Retry() {
  if (stopping_) return;
  retryTimer_.expires_after(retryDelay_);
  retryDelay_ = std::min(retryDelay_ * 2, kLastRetry);
  retryTimer_.async_wait([this](boost::system::error_code const& error) {
    if (!error) Connect();
  });
}

}  // namespace norla_server
