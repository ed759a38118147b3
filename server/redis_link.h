#pragma once

// One connection to the Redis master, on a thread of its own, pipelined.
//
// Connecting: the master's address comes from the URL or, for sentinel://,
// from the first sentinel that names it; a short blocking exchange then checks
// with ROLE that it is a master, selects the database and loads the scripts,
// and only then is the asynchronous connection opened. A lost connection or a
// READONLY answer (a master turned replica) starts over, asking the sentinels
// again, after a pause that doubles from 100 ms up to 5 s. So does a
// connection that answers nothing for 5 s while commands wait.
//
// The first failure of an episode logs "Store unavailable: REASON" as an
// error; the connection that ends it logs "Store available again".
//
// Threads: Send and Available from any thread; replies, time-outs and
// hiredis itself only on the link's thread.

#include <hiredis/hiredis.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/store_url.h"

struct redisAsyncContext;

namespace norla_server {

// A change not answered within this long is given up by its requester.
constexpr std::chrono::milliseconds kStoreReplyDeadline{200};

class RedisLink {
 public:
  struct Settings {
    tally::StoreUrl url;
    std::string password;              // "" for none
    std::vector<std::string> scripts;  // loaded on every new connection
    // Run on the link's thread when a connection is ready; may Send.
    std::function<void()> onConnected;
  };
  // The reply, or null when none will come (connection lost, link stopped);
  // freed when this returns.
  using ReplyFn = std::function<void(redisReply const* reply)>;

  explicit RedisLink(Settings settings);
  ~RedisLink();  // Stop
  RedisLink(RedisLink const&) = delete;
  RedisLink& operator=(RedisLink const&) = delete;

  // Starts the thread and the first connection.
  void Start();
  // Ends the thread: queued commands get null replies first. Idempotent.
  void Stop();

  // Connected to a verified master.
  bool Available() const { return available_.load(std::memory_order_acquire); }

  // Queues `argv`; `done` runs once on the link's thread. `late`, if given,
  // runs before it when kStoreReplyDeadline passes without a reply. False,
  // and nothing called, when the link is not available.
  bool Send(std::vector<std::string> argv, ReplyFn done, std::function<void()> late = nullptr);

 private:
  struct Pending {
    ReplyFn done;
    std::function<void()> late;
    std::chrono::steady_clock::time_point deadline;
  };

  static void OnReply(redisAsyncContext* context, void* reply, void* pending);
  static void OnConnect(redisAsyncContext const* context, int status);
  static void OnDisconnect(redisAsyncContext const* context, int status);

  void Dispatch(std::vector<std::string> const& argv, ReplyFn done, std::function<void()> late);
  // Writes `argv` to the connection, with or without a deadline.
  void Enqueue(std::vector<std::string> const& argv, ReplyFn done, std::function<void()> late);
  void Connect();
  bool FindMaster(tally::StoreAddress& master, std::string& why);
  bool Prepare(tally::StoreAddress const& master, std::string& why);
  void Down(std::string const& why);
  void Up();
  void Retry();
  void ArmDeadlines();
  void CheckDeadlines();
  // When a connection that has not answered `oldest` counts as lost.
  static std::chrono::steady_clock::time_point SilentSince(Pending const& oldest);

  Settings const settings_;
  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  boost::asio::steady_timer retryTimer_;
  boost::asio::steady_timer deadlineTimer_;
  std::thread thread_;
  std::atomic<bool> available_{false};
  // Link thread only:
  redisAsyncContext* context_ = nullptr;
  tally::StoreAddress master_;
  std::deque<std::unique_ptr<Pending>> pending_;  // in the order sent
  std::chrono::milliseconds retryDelay_;
  bool reportedDown_ = false;
  bool deadlineArmed_ = false;
  std::chrono::steady_clock::time_point armedFor_;  // while deadlineArmed_
  bool stopping_ = false;
};

}  // namespace norla_server
