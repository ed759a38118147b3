#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "server/log_stream.h"
#include "tests/unit/server/server_test_support.h"

namespace {

using RequestSweepRaceTest = server_test::HandlerTest;

// Requests and sweeps interleave: every insertion and removal is notified and
// logged once, and sweep lines never carry the in-flight request's peer.
TEST_F(RequestSweepRaceTest, TableStaysConsistent) {
  handler_.SetTimeoutSeconds(60);
  std::atomic<bool> done{false};
  int failures = 0;
  std::thread server([&] {
    char const* commands[] = {"LOGIN", "ALIVE", "LOGIN", "EXIT", "EXIT"};
    for (int i = 0; i < 1500; ++i) {
      std::string command = commands[i % 5];
      std::string body = Cipher(RequestText(command, "u" + std::to_string(i % 37), "a"), 256, true);
      if (!handler_(Bytes(body), 256, command == "EXIT" ? "p2" : "p1")) ++failures;
    }
    done = true;
  });
  // Each sweep ages the table past the limit; three more follow the last request.
  for (int after = 0; after < 3; after += done ? 1 : 0) {
    mono_ += 61;
    handler_.UpdateClients();
    std::this_thread::yield();
  }
  server.join();

  EXPECT_EQ(failures, 0);
  EXPECT_EQ(handler_.ClientCount(), 0u);
  std::map<std::string, int> events, lines;
  for (std::string const& line : log_.Flushed()) {
    bool event = line.find(" : ") == std::string::npos;
    ++(event ? events : lines)[line.substr(0, line.find(event ? " " : ", Current"))];
  }
  EXPECT_GT(events["Killed"], 0);
  EXPECT_EQ(events["Login"], events["Logout"] + events["Killed"]);
  EXPECT_EQ(lines["Connect : p1"], events["Login"]);
  EXPECT_EQ(lines["Disconnect : p1(p2)"], events["Logout"]);
  EXPECT_EQ(lines["Disconnect(Timeout) : p1"], events["Killed"]);
  EXPECT_EQ(lines.size(), 3u) << "no other line";
}

// Threads log through one stream: nothing is lost, each thread's order kept.
TEST(LogStreamContentionTest, LinesKeepPerThreadOrder) {
  server_test::ScopedLog log;
  norla_server::LogStreamOptions options;
  options.sink = &server_test::ScopedLog::Sink;
  options.lookup = [](std::string const&) { return std::string("name"); };
  norla_server::LogStream stream(options);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &stream] {
      for (int i = 0; i < 400; ++i) {
        std::string address = "192.0.2." + std::to_string(i % 20);
        stream.PostEvent(std::to_string(t), address, i);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(stream.Flush(std::chrono::seconds(10)));

  std::vector<int> next(4, 0);
  auto lines = log.Take();
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
