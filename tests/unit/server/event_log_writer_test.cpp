#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "server/event_log.h"
#include "server/event_log_writer.h"
#include "tests/unit/server/server_test_support.h"

namespace {

using namespace std::chrono_literals;
using norla_server::EventLogWriter;
using norla_server::EventLogWriterOptions;
using server_test::ScopedLogCapture;

// A resolver whose answers are scripted and which can be made to hang until
// released; it counts the look-ups it is asked for.
class FakeResolver {
 public:
  std::string Lookup(std::string const& address) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++calls_[address];
    started_.notify_all();
    released_.wait(lock, [this] { return !blocked_; });
    auto name = names_.find(address);
    return name == names_.end() ? std::string() : name->second;
  }
  EventLogWriterOptions::Lookup Function() {
    return [this](std::string const& a) { return Lookup(a); };
  }
  void SetName(std::string const& address, std::string const& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    names_[address] = name;
  }
  void Block() {
    std::lock_guard<std::mutex> lock(mutex_);
    blocked_ = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      blocked_ = false;
    }
    released_.notify_all();
  }
  bool WaitForCalls(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return started_.wait_for(lock, 10s, [&] { return TotalLocked() >= count; });
  }
  int Calls(std::string const& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_[address];
  }

 private:
  int TotalLocked() {
    int total = 0;
    for (auto const& call : calls_) total += call.second;
    return total;
  }
  std::mutex mutex_;
  std::condition_variable started_, released_;
  std::map<std::string, std::string> names_;
  std::map<std::string, int> calls_;
  bool blocked_ = false;
};

TEST(EventLogWriterTest, WritesLinesInPostedOrderWithNames) {
  ScopedLogCapture capture;
  FakeResolver resolver;
  resolver.SetName("192.0.2.1", "one.example");
  EventLogWriterOptions options;
  options.lookup = resolver.Function();
  EventLogWriter writer(options);
  ASSERT_TRUE(writer.Start());
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(writer.Post("Connect", i % 2 ? "192.0.2.1" : "192.0.2.2", i));
  }
  ASSERT_TRUE(writer.Post("Disconnect", "192.0.2.1(192.0.2.2)", 0));
  ASSERT_TRUE(capture->WaitForCount(51, 10s));
  writer.Stop();
  auto lines = capture->Lines();
  ASSERT_EQ(lines.size(), 51u);
  for (int i = 0; i < 50; ++i) {
    std::string address = i % 2 ? "192.0.2.1 (one.example)" : "192.0.2.2";
    EXPECT_EQ(lines[i], "Connect : " + address + ", Current clients : " + std::to_string(i));
  }
  EXPECT_EQ(lines[50], "Disconnect : 192.0.2.1(192.0.2.2), Current clients : 0");
  // Names and misses are both cached; a decorated address is never looked up.
  EXPECT_EQ(resolver.Calls("192.0.2.1"), 1);
  EXPECT_EQ(resolver.Calls("192.0.2.2"), 1);
  EXPECT_EQ(resolver.Calls("192.0.2.1(192.0.2.2)"), 0);
  EXPECT_FALSE(writer.Post("late", "", -1)) << "a stopped writer leaves the line to its caller";
}

TEST(EventLogWriterTest, CachedNamesExpire) {
  ScopedLogCapture capture;
  FakeResolver resolver;
  std::atomic<int> minutes{0};
  EventLogWriterOptions options;
  options.lookup = resolver.Function();
  options.now = [&] { return std::chrono::steady_clock::time_point(minutes.load() * 1min); };
  EventLogWriter writer(options);
  ASSERT_TRUE(writer.Start());
  writer.Post("a", "192.0.2.1", -1);
  ASSERT_TRUE(capture->WaitForCount(1, 10s));
  minutes = 4;
  writer.Post("b", "192.0.2.1", -1);
  ASSERT_TRUE(capture->WaitForCount(2, 10s));
  EXPECT_EQ(resolver.Calls("192.0.2.1"), 1);
  minutes = 6;
  writer.Post("c", "192.0.2.1", -1);
  ASSERT_TRUE(capture->WaitForCount(3, 10s));
  writer.Stop();
  EXPECT_EQ(resolver.Calls("192.0.2.1"), 2);
}

TEST(EventLogWriterTest, HangingLookupBlocksNeitherOutputLogNorOrder) {
  ScopedLogCapture capture;
  FakeResolver resolver;
  resolver.SetName("192.0.2.1", "slow.example");
  resolver.Block();
  EventLogWriterOptions options;
  options.lookup = resolver.Function();
  ASSERT_TRUE(EventLogWriter::AcquireShared(options));

  // OutputLog returns while the writer hangs in the first look-up.
  EXPECT_TRUE(norla_server::OutputLog("u1", "Connect", 1, "192.0.2.1", false));
  ASSERT_TRUE(resolver.WaitForCalls(1));
  EXPECT_TRUE(norla_server::OutputLog("", "after", 1, nullptr, false));
  EXPECT_TRUE(capture->Lines().empty());

  resolver.Release();
  ASSERT_TRUE(capture->WaitForCount(2, 10s));
  EventLogWriter::ReleaseShared();
  EXPECT_EQ(capture->Lines(), (std::vector<std::string>{
                                  "Connect : 192.0.2.1 (slow.example), Current clients : 1",
                                  "after, Current clients : 1"}));
  EXPECT_EQ(EventLogWriter::Shared(), nullptr);
}

TEST(EventLogWriterTest, FullQueueWritesWithoutNamesAndLosesNothing) {
  ScopedLogCapture capture;
  FakeResolver resolver;
  for (char const* a : {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4", "192.0.2.5"}) {
    resolver.SetName(a, "named");
  }
  resolver.Block();
  EventLogWriterOptions options;
  options.lookup = resolver.Function();
  options.lookupLimit = 2;
  options.queueLimit = 3;
  EventLogWriter writer(options);
  ASSERT_TRUE(writer.Start());

  writer.Post("1", "192.0.2.1", -1);  // taken by the writer, hangs in its look-up
  ASSERT_TRUE(resolver.WaitForCalls(1));
  writer.Post("2", "192.0.2.2", -1);
  writer.Post("3", "192.0.2.3", -1);
  writer.Post("4", "192.0.2.4", -1);  // over the look-up limit: the backlog goes unresolved
  writer.Post("5", "192.0.2.5", -1);  // over the hard limit: written by the caller at once
  EXPECT_EQ(capture->Lines(), std::vector<std::string>{"5 : 192.0.2.5"});

  resolver.Release();
  writer.Stop();
  EXPECT_EQ(capture->Lines(),
            (std::vector<std::string>{"5 : 192.0.2.5", "1 : 192.0.2.1 (named)", "2 : 192.0.2.2",
                                      "3 : 192.0.2.3", "4 : 192.0.2.4"}));
  EXPECT_EQ(resolver.Calls("192.0.2.2") + resolver.Calls("192.0.2.3"), 0);
}

TEST(EventLogWriterTest, StopDrainsWithoutNewLookups) {
  ScopedLogCapture capture;
  FakeResolver resolver;
  resolver.SetName("192.0.2.1", "cached.example");
  resolver.SetName("192.0.2.2", "never.example");
  EventLogWriterOptions options;
  options.lookup = resolver.Function();
  EventLogWriter writer(options);
  ASSERT_TRUE(writer.Start());
  writer.Post("warm", "192.0.2.1", -1);
  ASSERT_TRUE(capture->WaitForCount(1, 10s));

  resolver.Block();
  writer.Post("hang", "192.0.2.3", -1);
  ASSERT_TRUE(resolver.WaitForCalls(2));
  writer.Post("cached", "192.0.2.1", 1);
  writer.Post("uncached", "192.0.2.2", 2);
  std::thread stopper([&] { writer.Stop(); });
  // Probe lines (empty) are accepted until the stop has begun.
  while (writer.Post("", "", -1)) std::this_thread::yield();
  resolver.Release();
  stopper.join();
  std::vector<std::string> lines;
  for (std::string const& line : capture->Lines()) {
    if (!line.empty()) lines.push_back(line);
  }
  EXPECT_EQ(lines,
            (std::vector<std::string>{"warm : 192.0.2.1 (cached.example)", "hang : 192.0.2.3",
                                      "cached : 192.0.2.1 (cached.example), Current clients : 1",
                                      "uncached : 192.0.2.2, Current clients : 2"}));
  EXPECT_EQ(resolver.Calls("192.0.2.2"), 0);
}

}  // namespace
