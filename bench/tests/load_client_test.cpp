#include "bench/load_client.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <future>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include "bench/ref_server.h"
#include "bench/request_plan.h"

namespace tally_bench {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// Runs an io_context on its own thread for the lifetime of the object.
class ServerThread {
 public:
  ServerThread() : work_(asio::make_work_guard(io_)), thread_([this] { io_.run(); }) {}
  ~ServerThread() {
    work_.reset();
    io_.stop();
    thread_.join();
  }
  asio::io_context& io() { return io_; }

  // Runs `step` on the server thread, then lets every handler it queued run.
  void Call(std::function<void()> step) {
    for (int pass = 0; pass < 2; ++pass) {
      std::promise<void> done;
      asio::post(io_, [&] {
        if (pass == 0) step();
        done.set_value();
      });
      done.get_future().wait();
    }
  }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
};

BenchOptions EchoOptions(std::uint16_t port, unsigned concurrency) {
  BenchOptions options;
  options.port = port;
  options.mode = BenchMode::kEcho;
  options.concurrency = concurrency;
  options.ids = 100;
  options.timeout = std::chrono::milliseconds(2000);
  return options;
}

std::vector<std::string> Ids(unsigned count) {
  std::vector<std::string> ids;
  for (unsigned i = 0; i < count; ++i) ids.push_back("load-test-" + std::to_string(i));
  return ids;
}

TEST(LoadClientTest, EchoRunAgainstTheReferenceServerIsClean) {
  ServerThread server;
  RefServer ref(server.io(), 0);
  for (unsigned concurrency : {1u, 8u}) {
    BenchOptions options = EchoOptions(ref.port(), concurrency);
    RequestPlan plan(options.ids, options.mix, 1);
    auto ids = Ids(options.ids);
    LoadClient client(options, plan, ids);
    TRunStats stats = client.Run(0, 20, 300);

    EXPECT_TRUE(stats.errors.empty()) << stats.errors.begin()->first << ": "
                                      << stats.firstError[stats.errors.begin()->first];
    // Replies in flight when the limit is reached still count.
    EXPECT_GE(stats.replies, 300u);
    EXPECT_LT(stats.replies, 300u + concurrency);
    EXPECT_EQ(stats.codes[kEchoCode], stats.replies);
    EXPECT_EQ(stats.latency.Count(), stats.replies);
    EXPECT_GT(stats.seconds, 0);
    EXPECT_GT(stats.latency.Percentile(50).count(), 0);
  }
  unsigned long served = 0;
  server.Call([&] {
    served = ref.served();
    ref.Close();
  });
  EXPECT_GE(served, 600u);
}

// Peers that break the exchange in one way each; every request must end as
// an error of the matching kind, and none as a reply.
TEST(LoadClientTest, ClassifiesBrokenExchanges) {
  enum class Peer { kClosesAtOnce, kNeverAnswers, kNobodyListens };
  struct Case {
    Peer peer;
    std::set<std::string> kinds;
  };
  Case const cases[] = {
      // Whether the close overtakes the request decides which of these it is.
      {Peer::kClosesAtOnce, {"no reply", "reset", "send"}},
      {Peer::kNeverAnswers, {"timeout"}},
      {Peer::kNobodyListens, {"connect refused"}},
  };
  for (Case const& c : cases) {
    ServerThread server;
    tcp::acceptor acceptor(server.io(), tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    std::uint16_t port = acceptor.local_endpoint().port();
    std::vector<std::shared_ptr<tcp::socket>> held;
    std::function<void()> accept = [&] {
      acceptor.async_accept([&](boost::system::error_code ec, tcp::socket socket) {
        if (ec) return;
        if (c.peer == Peer::kNeverAnswers) held.push_back(std::make_shared<tcp::socket>(std::move(socket)));
        accept();  // kClosesAtOnce: `socket` closes as it goes out of scope
      });
    };
    if (c.peer == Peer::kNobodyListens) {
      acceptor.close();
    } else {
      asio::post(server.io(), accept);
    }

    BenchOptions options = EchoOptions(port, 2);
    options.mode = BenchMode::kTallyd;
    options.timeout = std::chrono::milliseconds(100);
    RequestPlan plan(options.ids, options.mix, 1);
    auto ids = Ids(options.ids);
    LoadClient client(options, plan, ids);
    TRunStats stats = client.Run(0, 0.3, 0);

    std::string const name = *c.kinds.begin();
    EXPECT_EQ(stats.replies, 0u) << name;
    EXPECT_GT(stats.started, 0u) << name;
    EXPECT_EQ(stats.ErrorCount(), stats.started) << name;
    for (auto const& [kind, count] : stats.errors) {
      EXPECT_EQ(c.kinds.count(kind), 1u) << name << ": unexpected kind " << kind;
    }
    // Lost requests leave the plan unsure of their ids.
    EXPECT_GT(plan.Uncertain(), 0u) << name;

    server.Call([&] {
      boost::system::error_code ignored;
      acceptor.close(ignored);
      held.clear();
    });
  }
}

}  // namespace
}  // namespace tally_bench
