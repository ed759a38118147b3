#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "tests/unit/server/server_test_support.h"

namespace {

using namespace std::chrono_literals;

using norla_server::EventLogWriter;
using norla_server::OutputLog;
using server_test::ScopedLog;
using server_test::Strings;

// Names 192.0.2.1 to .8 "n<last digit>" and knows no other name; counts its
// look-ups, each of which passes `gate`.
struct FakeResolver {
  server_test::Gate gate;
  std::mutex mutex;
  std::map<std::string, int> calls;

  norla_server::EventLogWriterOptions Options() {
    norla_server::EventLogWriterOptions options;
    options.lookup = [this](std::string const& address) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        ++calls[address];
      }
      gate.Pass();
      char last = address.back();
      return last >= '1' && last <= '8' && address.size() == 9 ? std::string("n") + last : "";
    };
    return options;
  }
};

TEST(EventLogWriterTest, KeepsOrderAndCachesNamesAndMisses) {
  ScopedLog log;
  FakeResolver resolver;
  std::atomic<int> minutes{0};
  auto options = resolver.Options();
  options.now = [&] { return std::chrono::steady_clock::time_point(minutes.load() * 1min); };
  EventLogWriter writer(options);
  ASSERT_TRUE(writer.Start());
  Strings expected;
  for (int i = 0; i < 40; ++i) {
    writer.Post("e", i % 2 ? "192.0.2.1" : "192.0.2.9", i);
    expected.push_back(std::string("e : ") + (i % 2 ? "192.0.2.1 (n1)" : "192.0.2.9") +
                       ", Current clients : " + std::to_string(i));
  }
  writer.Post("d", "192.0.2.1(192.0.2.2)", -1);
  expected.push_back("d : 192.0.2.1(192.0.2.2)");
  ASSERT_TRUE(log.WaitForCount(41));
  minutes = 6;  // past the cache's lifetime
  writer.Post("late", "192.0.2.1", -1);
  expected.push_back("late : 192.0.2.1 (n1)");
  ASSERT_TRUE(log.WaitForCount(42));
  writer.Stop();
  EXPECT_EQ(log.Lines(), expected);
  EXPECT_EQ(resolver.calls, (std::map<std::string, int>{{"192.0.2.1", 2}, {"192.0.2.9", 1}}));
  EXPECT_FALSE(writer.Post("after stop", "", -1));
}

TEST(EventLogWriterTest, HungLookupBlocksNoCallerAndLosesNoLine) {
  ScopedLog log;
  FakeResolver resolver;
  auto options = resolver.Options();
  options.lookupLimit = 2;
  options.queueLimit = 3;
  ASSERT_TRUE(EventLogWriter::AcquireShared(options));
  auto writer = EventLogWriter::Shared();
  auto post = [](int i) {
    std::string address = "192.0.2." + std::to_string(i);
    OutputLog("", std::to_string(i).c_str(), -1, address.c_str(), false);
  };

  resolver.gate.Set(false);
  post(1);  // the writer hangs in this look-up
  ASSERT_TRUE(resolver.gate.WaitForPassed(1));
  for (int i = 2; i <= 4; ++i) post(i);  // 4 passes the look-up limit: 2 to 4 go unresolved
  EXPECT_TRUE(log.Lines().empty());
  post(5);  // over the hard limit: written at once by the caller
  EXPECT_EQ(log.Lines(), Strings{"5 : 192.0.2.5"});
  resolver.gate.Set(true);
  ASSERT_TRUE(log.WaitForCount(5));

  // Stopping drains the queue with cached names only.
  resolver.gate.Set(false);
  post(6);
  ASSERT_TRUE(resolver.gate.WaitForPassed(2));
  post(7);
  post(1);
  std::thread stopper(&EventLogWriter::ReleaseShared);
  while (writer->Post("", "", -1)) std::this_thread::yield();  // until the stop has begun
  resolver.gate.Set(true);
  stopper.join();
  Strings lines;
  for (std::string const& line : log.Lines()) {
    if (!line.empty()) lines.push_back(line);
  }
  EXPECT_EQ(lines, (Strings{"5 : 192.0.2.5", "1 : 192.0.2.1 (n1)", "2 : 192.0.2.2", "3 : 192.0.2.3",
                            "4 : 192.0.2.4", "6 : 192.0.2.6 (n6)", "7 : 192.0.2.7",
                            "1 : 192.0.2.1 (n1)"}));
  EXPECT_EQ(resolver.gate.Passed(), 2);
}

}  // namespace
