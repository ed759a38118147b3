#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "client/reply.h"
#include "server/event_log.h"
#include "server/event_log_writer.h"
#include "tests/unit/server/handler_fixture.h"

namespace {

using namespace std::chrono_literals;

class Counter : public server_test::RecordingHandler {
 public:
  std::map<std::string, int> Counts() {
    std::map<std::string, int> counts;
    for (std::string const& event : Take()) ++counts[event.substr(0, event.find(' '))];
    return counts;
  }
};

bool StartsWith(std::string const& text, std::string const& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

class RequestSweepRaceTest : public server_test::HandlerTest {};

// The server thread's requests and the host's sweeps interleave; every
// insertion and removal must be seen exactly once, and the sweep must never
// pick up the peer of the request in flight.
TEST_F(RequestSweepRaceTest, TableStaysConsistent) {
  Counter counter;
  handler_->SetEventHandler(&counter);
  handler_->SetTimeoutMinutes(1);
  constexpr int kRequests = 1500;
  std::atomic<bool> done{false};
  std::atomic<int> badReplies{0};

  std::thread server([&] {
    char const* commands[] = {"LOGIN", "ALIVE", "LOGIN", "EXIT", "EXIT"};
    for (int i = 0; i < kRequests; ++i) {
      std::string unique = "u" + std::to_string(i % 37);
      std::string command = commands[i % 5];
      // Leaving from another address decorates "Disconnect" lines only.
      std::string peer = command == "EXIT" ? "192.0.2.2" : "192.0.2.1";
      std::string text = server_test::RequestText(command, "P1", unique, "a", "");
      tally::TReply reply;
      if (!tally::ParseReply(Exchange(text, 256, peer), reply) ||
          (reply.code != 200 && reply.code != 303)) {
        ++badReplies;
      }
    }
    done = true;
  });
  std::thread host([&] {
    // Every sweep ages the table past the limit: whatever was not renewed
    // since the previous sweep goes. A few sweeps always follow the last request.
    for (int after = 0; after < 3; after += done ? 1 : 0) {
      now_ += 61;
      handler_->UpdateClients();
      std::this_thread::yield();
    }
  });
  server.join();
  host.join();

  EXPECT_EQ(badReplies, 0);
  auto counts = counter.Counts();
  EXPECT_GT(counts["Killed"], 0);
  EXPECT_EQ(handler_->ClientCount(), 0u) << "the last sweeps drop everyone";
  EXPECT_EQ(static_cast<int>(handler_->ClientCount()),
            counts["Login"] - counts["Logout"] - counts["Killed"]);

  int connects = 0, disconnects = 0, timeouts = 0;
  for (std::string const& line : Lines()) {
    if (StartsWith(line, "Connect : 192.0.2.1, ")) {
      ++connects;
    } else if (StartsWith(line, "Disconnect : 192.0.2.1(192.0.2.2), ")) {
      ++disconnects;
    } else if (StartsWith(line, "Disconnect(Timeout) : 192.0.2.1, ")) {
      ++timeouts;
    } else {
      ADD_FAILURE() << "unexpected line: " << line;
    }
  }
  EXPECT_EQ(connects, counts["Login"]);
  EXPECT_EQ(disconnects, counts["Logout"]);
  EXPECT_EQ(timeouts, counts["Killed"]);
}

// Several threads log at once through the shared writer while its look-ups
// are slow: nothing is lost and each thread's lines keep their order.
TEST(EventLogWriterContentionTest, LinesKeepPerThreadOrder) {
  server_test::ScopedLogCapture capture;
  norla_server::EventLogWriterOptions options;
  options.lookup = [](std::string const& address) {
    std::this_thread::yield();
    return "host-" + address;
  };
  ASSERT_TRUE(norla_server::EventLogWriter::AcquireShared(options));
  constexpr int kThreads = 4, kLines = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        std::string address = "192.0.2." + std::to_string(1 + (i % 20));
        norla_server::OutputLog("", ("t" + std::to_string(t)).c_str(), i, address.c_str(),
                                false);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  norla_server::EventLogWriter::ReleaseShared();

  auto lines = capture->Lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (std::string const& line : lines) {
    int t = line[1] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    int i = next[t]++;
    std::string address = "192.0.2." + std::to_string(1 + (i % 20));
    // The final drain may leave the last uncached lines without a name.
    std::string named = "t" + std::to_string(t) + " : " + address + " (host-" + address +
                        "), Current clients : " + std::to_string(i);
    std::string bare = "t" + std::to_string(t) + " : " + address +
                       ", Current clients : " + std::to_string(i);
    EXPECT_TRUE(line == named || line == bare) << line << " expected #" << i;
  }
}

}  // namespace
