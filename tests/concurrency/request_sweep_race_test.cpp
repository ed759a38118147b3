#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "client/reply.h"
#include "tests/unit/server/server_test_support.h"

namespace {

class RequestSweepRaceTest : public server_test::HandlerTest {};

// Requests (server thread) and sweeps (host thread) interleave on a shared
// clock: every insertion and removal must be notified and logged exactly
// once, and sweep lines must never carry the in-flight request's peer.
TEST_F(RequestSweepRaceTest, TableStaysConsistent) {
  handler_->SetTimeoutMinutes(1);
  std::atomic<bool> done{false};
  int badReplies = 0;
  std::thread server([&] {
    char const* commands[] = {"LOGIN", "ALIVE", "LOGIN", "EXIT", "EXIT"};
    for (int i = 0; i < 1500; ++i) {
      std::string command = commands[i % 5];
      std::string text = server_test::RequestText(command, "u" + std::to_string(i % 37), "a");
      tally::TReply reply;
      if (!tally::ParseReply(Exchange(text, 256, command == "EXIT" ? "192.0.2.2" : "192.0.2.1"),
                             reply) ||
          (reply.code != 200 && reply.code != 303)) {
        ++badReplies;
      }
    }
    done = true;
  });
  // Each sweep ages the table past the limit; three more follow the last request.
  for (int after = 0; after < 3; after += done ? 1 : 0) {
    now_ += 61;
    handler_->UpdateClients();
    std::this_thread::yield();
  }
  server.join();

  EXPECT_EQ(badReplies, 0);
  EXPECT_EQ(handler_->ClientCount(), 0u);
  std::map<std::string, int> events, lines;
  for (std::string const& event : events_.Take()) ++events[event.substr(0, event.find(' '))];
  for (std::string const& line : Lines()) ++lines[line.substr(0, line.find(", Current"))];
  EXPECT_GT(events["Killed"], 0);
  EXPECT_EQ(events["Login"], events["Logout"] + events["Killed"]);
  EXPECT_EQ(lines["Connect : 192.0.2.1"], events["Login"]);
  EXPECT_EQ(lines["Disconnect : 192.0.2.1(192.0.2.2)"], events["Logout"]);
  EXPECT_EQ(lines["Disconnect(Timeout) : 192.0.2.1"], events["Killed"]);
  EXPECT_EQ(lines.size(), 3u) << "no other line";
}

// Threads log at once through the shared writer while its look-ups yield:
// nothing is lost and each thread's lines keep their order.
TEST(EventLogWriterContentionTest, LinesKeepPerThreadOrder) {
  server_test::ScopedLog log;
  norla_server::EventLogWriterOptions options;
  options.lookup = [](std::string const&) {
    std::this_thread::yield();
    return std::string("name");
  };
  ASSERT_TRUE(norla_server::EventLogWriter::AcquireShared(options));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 400; ++i) {
        std::string address = "192.0.2." + std::to_string(i % 20);
        norla_server::OutputLog("", std::to_string(t).c_str(), i, address.c_str(), false);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  norla_server::EventLogWriter::ReleaseShared();

  std::vector<int> next(4, 0);
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1600u);
  for (std::string const& line : lines) {
    int t = line[0] - '0';
    ASSERT_TRUE(t >= 0 && t < 4) << line;
    int i = next[t]++;
    // The final drain may leave the last uncached lines without a name.
    std::string prefix = std::to_string(t) + " : 192.0.2." + std::to_string(i % 20);
    std::string suffix = ", Current clients : " + std::to_string(i);
    EXPECT_TRUE(line == prefix + suffix || line == prefix + " (name)" + suffix) << line;
  }
}

}  // namespace
