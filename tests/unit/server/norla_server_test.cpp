#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client/tally_client.h"
#include "server/norla_server.h"
#include "tests/support/daemon_process.h"
#include "tests/unit/server/server_test_support.h"

namespace {

using namespace std::chrono_literals;
using server_test::ScopedLogCapture;
using Strings = std::vector<std::string>;

bool StartsWith(std::string const& text, std::string const& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

tally::ClientOptions Client(unsigned short port) {
  tally::ClientOptions options;
  options.port = port;
  options.timeout = 10s;
  return options;
}

TEST(NorlaServerTest, NullInstancesAndTextAreHarmless) {
  ScopedLogCapture capture;
  NorlaServerUpdateClients(nullptr);
  NorlaServerQuit(nullptr);
  NorlaServerDestroy(nullptr);
  EXPECT_FALSE(NorlaServerSetExtParams(nullptr, "Key: value"));
  EXPECT_FALSE(NorlaLog(nullptr));
  EXPECT_EQ(NorlaServerCheckDll(), 1);
  EXPECT_TRUE(capture->Lines().empty());

  unsigned int result = 99;
  EXPECT_EQ(NorlaServerCreate(result, nullptr, tally_test::FreeTcpPort(), 5, "", nullptr), nullptr);
  EXPECT_EQ(result, kNorlaException);
  EXPECT_TRUE(capture->Lines().empty()) << "a failed creation logs no ServiceEnd";
}

TEST(NorlaServerTest, ServesRequestsBetweenStartAndEndLines) {
  ScopedLogCapture capture;
  server_test::RecordingHandler events;
  unsigned short port = tally_test::FreeTcpPort();
  unsigned int result = 99;
  auto* server = NorlaServerCreate(result, "P1/P2", port, 5, "Site: one\r\n", &events);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(result, kNorlaOk);

  auto login = tally::SendCommand(Client(port), 1, "P2", "u1", "a1");
  ASSERT_EQ(login.error, tally::ExchangeError::kNone) << login.detail;
  EXPECT_EQ(login.reply.code, 200);
  EXPECT_EQ(login.reply.currentClients, 1u);
  EXPECT_EQ(login.reply.extensions, (std::vector<std::pair<std::string, std::string>>{
                                        {"Site", "one"}}));

  EXPECT_TRUE(NorlaServerSetExtParams(server, "A: 1\nB: 2"));
  EXPECT_FALSE(NorlaServerSetExtParams(server, ": bad"));
  auto ping = tally::SendCommand(Client(port), 0, "P1", "u1", "a1");
  ASSERT_EQ(ping.error, tally::ExchangeError::kNone) << ping.detail;
  EXPECT_EQ(ping.reply.extensions.size(), 2u);
  EXPECT_EQ(ping.reply.hash, tally::Md5Hex("u1a1"));

  EXPECT_TRUE(NorlaLog("host line"));
  NorlaServerQuit(server);
  NorlaServerDestroy(server);
  auto lines = capture->Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "ServiceStart, Current clients : 0");
  EXPECT_TRUE(StartsWith(lines[1], "Connect : 127.0.0.1")) << lines[1];
  EXPECT_NE(lines[1].find(", Current clients : 1"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2], "host line");
  EXPECT_EQ(lines[3], "ServiceEnd, Current clients : 1");
  EXPECT_EQ(events.Take(), (Strings{"Connect 127.0.0.1", "Login u1 a1", "Connect 127.0.0.1",
                                    "Ping"}));
}

TEST(NorlaServerTest, CreationFailuresReportTheirCodes) {
  ScopedLogCapture capture;
  unsigned short port = tally_test::FreeTcpPort();
  unsigned int result = 99;
  EXPECT_EQ(NorlaServerCreate(result, "P1", port, 5, "Key:1", nullptr), nullptr);
  EXPECT_EQ(result, kNorlaBadExtParams);
  EXPECT_TRUE(capture->Lines().empty());

  auto* first = NorlaServerCreate(result, "P1", port, 5, nullptr, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(NorlaServerCreate(result, "P1", port, 5, nullptr, nullptr), nullptr);
  EXPECT_EQ(result, kNorlaSocketOpenFailed);
  NorlaServerQuit(first);
  NorlaServerDestroy(first);

  auto lines = capture->Lines();
  ASSERT_EQ(lines.size(), 3u) << "the failed instance logs no ServiceEnd";
  EXPECT_EQ(lines[0], "ServiceStart, Current clients : 0");
  EXPECT_TRUE(StartsWith(lines[1], "Socket open failed / Exception: ")) << lines[1];
  EXPECT_EQ(lines[2], "ServiceEnd, Current clients : 0");
}

// Holds the server thread inside a request until released.
class StuckHandler : public server_test::RecordingHandler {
 public:
  void OnLogin(char const*, char const*) override {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
  }
  bool WaitEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [this] { return entered_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool released_ = false;
};

TEST(NorlaServerTest, DestroyWaitsForAServerThreadStillInARequest) {
  ScopedLogCapture capture;
  StuckHandler stuck;
  unsigned short port = tally_test::FreeTcpPort();
  unsigned int result = 99;
  auto* server = NorlaServerCreate(result, "P1", port, 5, "", &stuck);
  ASSERT_NE(server, nullptr);
  std::thread client([port] { tally::SendCommand(Client(port), 1, "P1", "u1", "a1"); });
  ASSERT_TRUE(stuck.WaitEntered());

  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    NorlaServerDestroy(server);
    destroyed = true;
  });
  EXPECT_TRUE(capture->WaitForLine("ServiceEnd waiting for the server thread", 10s));
  EXPECT_FALSE(destroyed);
  stuck.Release();
  destroyer.join();
  client.join();
  auto lines = capture->Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "ServiceEnd, Current clients : 1");
}

}  // namespace
