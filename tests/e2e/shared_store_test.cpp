// Two tallyd instances sharing one register in a real redis-server: a client
// served through either, each event line written once by the instance that
// made the change, and Redis going away and coming back.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "protocol/protocol_constants.h"
#include "protocol/reply_code.h"
#include "tests/support/admin_http.h"
#include "tests/support/daemon_process.h"
#include "tests/support/root_sandbox.h"

namespace {

using namespace tally_test;
using tally_protocol::kReplyNotRegistered;
using tally_protocol::kReplyOk;
using tally_protocol::ReplyCode;

constexpr char kUnavailable[] = "Store unavailable: ";

// redis-server on a free loopback port, in memory only; stopped by its pid.
class RedisServer {
 public:
  RedisServer(std::string dir, unsigned short port) : dir_(std::move(dir)), port_(port) {}

  bool Start() {
    ProcessOptions options;
    options.program = "redis-server";
    options.args = {"--port", std::to_string(port_), "--bind", "127.0.0.1", "--save", "",
                    "--appendonly", "no", "--dir", dir_};
    options.args.insert(options.args.end(), extra.begin(), extra.end());
    process_ = std::make_unique<DaemonProcess>(options);
    return process_->Start() && process_->WaitForLine("Ready to accept connections");
  }
  void Stop() {
    process_->Signal(SIGTERM);
    EXPECT_EQ(process_->WaitExit(), 0);
  }
  unsigned short port() const { return port_; }
  DaemonProcess& process() { return *process_; }

  // Further arguments for the next Start, e.g. {"--replicaof", ...}.
  std::vector<std::string> extra;

 private:
  std::string dir_;
  unsigned short port_;
  std::unique_ptr<DaemonProcess> process_;
};

std::size_t CountLines(DaemonProcess& daemon, std::string const& text) {
  auto const lines = daemon.Lines();
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](auto const& line) {
    return line.find(text) != std::string::npos;
  }));
}

class SharedStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to write under /etc/opt";
    redis_ = std::make_unique<RedisServer>(work_.path(), FreeTcpPort());
    ASSERT_TRUE(redis_->Start());
    std::string const keys = "[tallyd]\nclient-timeout = 10\nmax-clients = 3\n"
                             "store = redis://127.0.0.1:" +
                             std::to_string(redis_->port()) + "\n";
    // Only A has the admin interface.
    adminPort_ = FreeTcpPort();
    configs_[0] = std::make_unique<ConfigDataDir>(
        keys + "admin-listen = 127.0.0.1:" + std::to_string(adminPort_) + "\n");
    configs_[1] = std::make_unique<ConfigDataDir>(keys + "admin-listen =\n");
    for (int i = 0; i < 2; ++i) {
      Instance& instance = instances_[i];
      instance.port = FreeTcpPort();
      instance.daemon = StartStandaloneDaemon(instance.port, work_.path(),
                                              {"--datadir", configs_[i]->name()});
      ASSERT_NE(instance.daemon, nullptr);
      ASSERT_TRUE(instance.daemon->WaitForLine("Store at 127.0.0.1:"));
    }
  }

  void TearDown() override {
    for (auto& instance : instances_) {
      if (!instance.daemon || !instance.daemon->Running()) continue;
      instance.daemon->Signal(SIGINT);
      EXPECT_EQ(instance.daemon->WaitExit(), 0);
    }
  }

  tally::ExchangeResult Send(int which, int command, std::string const& unique) {
    tally::ClientOptions options;
    options.port = instances_[which].port;
    return tally::SendCommand(options, command, tally::kProductId, unique, "app");
  }

  struct Instance {
    unsigned short port = 0;
    std::unique_ptr<DaemonProcess> daemon;
  };
  // tallyctl against A's admin interface: its exit status and output.
  std::pair<int, std::string> Ctl(std::string const& command) {
    std::string const line = std::string(TALLYCTL_PATH) + " --admin http://127.0.0.1:" +
                             std::to_string(adminPort_) + " " + command + " 2>&1";
    std::FILE* pipe = popen(line.c_str(), "r");
    std::string output;
    char buffer[512];
    while (std::size_t const got = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
    int const status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  }

  TempDir work_;
  std::unique_ptr<RedisServer> redis_;
  unsigned short adminPort_ = 0;
  std::unique_ptr<ConfigDataDir> configs_[2];
  Instance instances_[2];
};

TEST_F(SharedStoreTest, OneRegisterThroughEitherInstanceEachLineOnce) {
  struct Step {
    int instance;
    int command;
    ReplyCode code;
    unsigned long clients;
  };
  Step const steps[] = {
      {0, norla::kNorlaLogin, kReplyOk, 1},  // created by A
      {1, norla::kNorlaPing, kReplyOk, 1},   // B counts the register, not its own changes
      {1, norla::kNorlaLogin, kReplyOk, 1},  // B sees it: its second LOGIN
      {1, norla::kNorlaExit, kReplyOk, 1},   // one LOGIN left
      {0, norla::kNorlaExit, kReplyOk, 0},   // the last: removed by A
      {1, norla::kNorlaExit, kReplyNotRegistered, 0},   // gone for B too
  };
  for (Step const& step : steps) {
    SCOPED_TRACE(step.instance * 10 + step.command);
    auto const result = Send(step.instance, step.command, "shared-u1");
    ASSERT_EQ(result.error, tally::ExchangeError::kNone) << result.detail;
    EXPECT_EQ(result.reply.code, step.code);
    EXPECT_EQ(result.reply.currentClients, step.clients);
  }
  DaemonProcess& a = *instances_[0].daemon;
  DaemonProcess& b = *instances_[1].daemon;
  // Lines are written behind the replies: wait for the last one.
  ASSERT_TRUE(a.WaitForLine("Disconnect : 127.0.0.1"));
  EXPECT_EQ(CountLines(a, "Connect : 127.0.0.1"), 1u);
  EXPECT_EQ(CountLines(a, "Disconnect : 127.0.0.1"), 1u);
  EXPECT_EQ(CountLines(b, "Connect"), 0u);

  // Both instances sweep; the script that removes the idle entry is one.
  ASSERT_EQ(Send(1, norla::kNorlaLogin, "shared-idle").reply.currentClients, 1u);
  auto const expired = [&] {
    return CountLines(a, "Disconnect(Timeout)") + CountLines(b, "Disconnect(Timeout)");
  };
  // Waits on A's output, which either instance's line ends soon after.
  auto const deadline = std::chrono::steady_clock::now() + 30s;
  while (expired() == 0 && std::chrono::steady_clock::now() < deadline) {
    a.WaitForLine("Disconnect(Timeout)", 200ms);
  }
  EXPECT_EQ(expired(), 1u);
  EXPECT_EQ(Send(0, norla::kNorlaPing, "").reply.currentClients, 0u);
}

// 8 clients on each instance LOGIN the same UniqueIDs over and over: every
// acknowledged LOGIN is counted, none twice. Then B is killed under the same
// load: its clients go on through A and no acknowledged LOGIN is lost; only
// the requests B had in flight (one per client at most) are uncertain.
TEST_F(SharedStoreTest, SixteenClientsOnTwoInstancesLoseNoUpdate) {
  constexpr int kIds = 3, kRounds = 10, kClients = 16;
  std::string const host = "Host: 127.0.0.1:" + std::to_string(adminPort_) + "\r\n";
  auto const logins = [&](int id) {
    HttpReply const reply =
        Http(adminPort_, "GET", "/api/v1/clients/hammer-" + std::to_string(id), host);
    return reply.status == 200 ? nlohmann::json::parse(reply.body)["logins"].get<unsigned>() : 0u;
  };
  for (bool const killB : {false, true}) {
    SCOPED_TRACE(killB ? "B killed" : "both running");
    std::atomic<unsigned> sent[kIds] = {}, acked[kIds] = {}, total{0};
    unsigned before[kIds];
    for (int id = 0; id < kIds; ++id) before[id] = logins(id);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&, c] {
        int instance = c % 2;
        for (int round = 0; round < kRounds; ++round) {
          for (int id = 0; id < kIds; ++id) {
            ++sent[id];
            auto const result = Send(instance, norla::kNorlaLogin, "hammer-" + std::to_string(id));
            if (result.error == tally::ExchangeError::kNone && result.reply.code == kReplyOk) {
              ++acked[id];
              ++total;
            } else {
              instance = 0;  // B is gone: on through A
            }
          }
        }
      });
    }
    if (killB) {
      while (total < kClients * kRounds) std::this_thread::sleep_for(1ms);
      instances_[1].daemon->Signal(SIGKILL);
    }
    for (auto& client : clients) client.join();
    unsigned uncertain = 0;
    for (int id = 0; id < kIds; ++id) {
      unsigned const counted = logins(id) - before[id];
      EXPECT_GE(counted, acked[id].load()) << id;
      EXPECT_LE(counted, sent[id].load()) << id;
      uncertain += sent[id] - acked[id];
    }
    EXPECT_LE(uncertain, killB ? kClients / 2u : 0u);
  }
}

TEST_F(SharedStoreTest, RedisAwayThenBack) {
  DaemonProcess& a = *instances_[0].daemon;
  ASSERT_EQ(Send(0, norla::kNorlaLogin, "shared-u2").reply.currentClients, 1u);
  redis_->Stop();
  ASSERT_TRUE(a.WaitForLine(kUnavailable));

  auto const ping = Send(0, norla::kNorlaPing, "");
  ASSERT_EQ(ping.error, tally::ExchangeError::kNone);
  EXPECT_EQ(ping.reply.currentClients, 1u);  // the last count known
  EXPECT_EQ(Send(0, norla::kNorlaLogin, "shared-u3").error, tally::ExchangeError::kNoReply);
  EXPECT_EQ(Send(0, norla::kNorlaExit, "shared-u2").error, tally::ExchangeError::kNoReply);

  ASSERT_TRUE(redis_->Start());
  ASSERT_TRUE(a.WaitForLine("Store available again", 10s));
  EXPECT_EQ(CountLines(a, kUnavailable), 1u);  // retries in between say nothing more
  auto const login = Send(0, norla::kNorlaLogin, "shared-u3");
  ASSERT_EQ(login.error, tally::ExchangeError::kNone);
  EXPECT_EQ(login.reply.code, kReplyOk);
  EXPECT_EQ(login.reply.currentClients, 1u);  // the restarted server kept nothing
}

// A stopped process keeps its connections open: only silence tells.
TEST_F(SharedStoreTest, ASilentRedisCountsAsLost) {
  DaemonProcess& a = *instances_[0].daemon;
  redis_->process().Signal(SIGSTOP);
  EXPECT_EQ(Send(0, norla::kNorlaLogin, "silent").error, tally::ExchangeError::kNoReply);
  EXPECT_TRUE(a.WaitForLine(std::string(kUnavailable) + "127.0.0.1:" +
                            std::to_string(redis_->port()) + ": no answer for 5 s"));
  redis_->process().Signal(SIGCONT);
  EXPECT_TRUE(a.WaitForLine("Store available again", 15s));
}

TEST_F(SharedStoreTest, AStalledRedisClosesTheRequestButItsChangeIsLogged) {
  std::string const pause = "redis-cli -p " + std::to_string(redis_->port()) +
                            " CLIENT PAUSE 1500 ALL > /dev/null";
  ASSERT_EQ(std::system(pause.c_str()), 0);
  EXPECT_EQ(Send(0, norla::kNorlaLogin, "shared-slow").error, tally::ExchangeError::kNoReply);
  // Made once the pause ends: the instance that sent it writes its line.
  EXPECT_TRUE(instances_[0].daemon->WaitForLine("Connect : 127.0.0.1"));
  EXPECT_EQ(Send(1, norla::kNorlaExit, "shared-slow").reply.code, kReplyOk);
}

TEST_F(SharedStoreTest, ScriptsFlushedFromRedisAreSentAgain) {
  std::string const flush =
      "redis-cli -p " + std::to_string(redis_->port()) + " SCRIPT FLUSH > /dev/null";
  ASSERT_EQ(std::system(flush.c_str()), 0);
  EXPECT_EQ(Send(0, norla::kNorlaLogin, "flushed").reply.code, kReplyOk);
  EXPECT_EQ(Send(1, norla::kNorlaExit, "flushed").reply.code, kReplyOk);
}

TEST_F(SharedStoreTest, TheLimitHoldsAcrossInstances) {
  using tally_protocol::kReplyRegisterFull;
  struct Step {
    int instance;
    int command;
    char const* unique;
    ReplyCode code;
  };
  Step const steps[] = {
      {0, norla::kNorlaLogin, "limit-1", kReplyOk},
      {0, norla::kNorlaLogin, "limit-2", kReplyOk},
      {1, norla::kNorlaLogin, "limit-3", kReplyOk},            // fills it: B's line
      {0, norla::kNorlaLogin, "limit-4", kReplyRegisterFull},  // A sees it full
      {0, norla::kNorlaAlive, "limit-3", kReplyOk},            // registered ones go on
      {0, norla::kNorlaExit, "limit-1", kReplyOk},             // room again: A's line
      {1, norla::kNorlaLogin, "limit-4", kReplyOk},
  };
  for (Step const& step : steps) {
    SCOPED_TRACE(step.unique);
    EXPECT_EQ(Send(step.instance, step.command, step.unique).reply.code, step.code);
  }
  EXPECT_TRUE(instances_[1].daemon->WaitForLine("Register full, Current clients : 3"));
  EXPECT_TRUE(instances_[0].daemon->WaitForLine("Register has room again, Current clients : 2"));
  EXPECT_EQ(CountLines(*instances_[0].daemon, "Register full"), 0u);
}

TEST_F(SharedStoreTest, AdminInterfaceReadsAndReleasesTheSharedRegister) {
  ASSERT_EQ(Send(1, norla::kNorlaLogin, "shared-adm").reply.code, kReplyOk);
  ASSERT_EQ(Send(0, norla::kNorlaLogin, "shared-adm").reply.code, kReplyOk);
  auto const shown = Ctl("show shared-adm --json");
  EXPECT_EQ(shown.first, 0) << shown.second;
  EXPECT_NE(shown.second.find("\"logins\": 2,"), std::string::npos) << shown.second;
  EXPECT_NE(Ctl("list").second.find("shared-adm"), std::string::npos);
  EXPECT_EQ(Ctl("release shared-adm").first, 0);
  EXPECT_TRUE(instances_[0].daemon->WaitForLine("Disconnect(Admin)"));
  EXPECT_EQ(Ctl("show shared-adm").first, 1);
  EXPECT_EQ(Send(1, norla::kNorlaExit, "shared-adm").reply.code, kReplyNotRegistered);
}

// A master, its replica and three sentinels; the master killed, the instance
// finds the promoted replica through the sentinels.
TEST(SharedStoreSentinel, RequestsServedAgainAfterAFailover) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to write under /etc/opt";
  TempDir work;
  RedisServer master(work.path(), FreeTcpPort());
  RedisServer replica(work.path(), FreeTcpPort());
  replica.extra = {"--replicaof", "127.0.0.1", std::to_string(master.port())};
  ASSERT_TRUE(master.Start());
  ASSERT_TRUE(replica.Start());
  ASSERT_TRUE(replica.process().WaitForLine("MASTER <-> REPLICA sync: Finished with success"));

  std::vector<std::unique_ptr<DaemonProcess>> sentinels;
  std::string addresses;
  for (int i = 0; i < 3; ++i) {
    unsigned short const port = FreeTcpPort();
    std::string const file = work.WriteFile(
        "sentinel" + std::to_string(i) + ".conf",
        "port " + std::to_string(port) + "\nbind 127.0.0.1\ndir " + work.path() +
            "\nsentinel monitor tally 127.0.0.1 " + std::to_string(master.port()) +
            " 2\nsentinel down-after-milliseconds tally 1000\n"
            "sentinel failover-timeout tally 5000\n");
    ProcessOptions options;
    options.program = "redis-sentinel";
    options.args = {file};
    sentinels.push_back(std::make_unique<DaemonProcess>(options));
    ASSERT_TRUE(sentinels.back()->Start());
    addresses += (i == 0 ? "" : ",") + std::string("127.0.0.1:") + std::to_string(port);
  }
  // A failover needs a majority of sentinels that know one another.
  for (auto& sentinel : sentinels) ASSERT_TRUE(sentinel->WaitForLine("+sentinel sentinel", 20s));

  ConfigDataDir config("[tallyd]\nadmin-listen =\nstore = sentinel://" + addresses + "/tally\n");
  unsigned short const port = FreeTcpPort();
  auto daemon = StartStandaloneDaemon(port, work.path(), {"--datadir", config.name()});
  ASSERT_NE(daemon, nullptr);
  std::string const atMaster = "Store at 127.0.0.1:" + std::to_string(master.port());
  ASSERT_TRUE(daemon->WaitForLine(atMaster));
  tally::ClientOptions client;
  client.port = port;
  EXPECT_EQ(tally::SendCommand(client, norla::kNorlaLogin, tally::kProductId, "f1", "app").reply.code,
            kReplyOk);

  master.process().Signal(SIGKILL);
  ASSERT_TRUE(sentinels.front()->WaitForLine("+switch-master", 30s));
  std::string const atReplica = "Store at 127.0.0.1:" + std::to_string(replica.port());
  ASSERT_TRUE(daemon->WaitForLine(atReplica, 10s));
  EXPECT_EQ(tally::SendCommand(client, norla::kNorlaLogin, tally::kProductId, "f2", "app").reply.code,
            kReplyOk);
  daemon->Signal(SIGINT);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

}  // namespace
