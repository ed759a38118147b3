#include "server/norla_server.h"

#include <gtest/gtest.h>

#include <thread>

#include "client/tally_client.h"
#include "tests/support/daemon_process.h"
#include "tests/unit/server/server_test_support.h"

namespace {

using namespace std::chrono_literals;

using server_test::ScopedLog;
using server_test::Strings;

tally::ExchangeResult Send(unsigned short port, int command, char const* product) {
  tally::ClientOptions options;
  options.port = port;
  options.timeout = 10s;
  return tally::SendCommand(options, command, product, "u1", "a1");
}

TEST(NorlaServerTest, NullArgumentsDoNothing) {
  ScopedLog log;
  NorlaServerUpdateClients(nullptr);
  NorlaServerQuit(nullptr);
  NorlaServerDestroy(nullptr);
  EXPECT_FALSE(NorlaServerSetExtParams(nullptr, "Key: value"));
  EXPECT_EQ(NorlaServerCheckDll(), 1);
  unsigned int result = 99;
  EXPECT_EQ(NorlaServerCreate(result, nullptr, tally_test::FreeTcpPort(), 5, "", nullptr), nullptr);
  EXPECT_EQ(result, kNorlaException);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(NorlaServerTest, LifecycleCodesAndLines) {
  ScopedLog log;
  server_test::Recorder events;
  unsigned short port = tally_test::FreeTcpPort();
  unsigned int result = 99;
  EXPECT_EQ(NorlaServerCreate(result, "P1", port, 5, "Key:1", nullptr), nullptr);
  EXPECT_EQ(result, kNorlaBadExtParams);

  auto* server = NorlaServerCreate(result, "P1/P2", port, 5, "Site: one\r\n", &events);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(result, kNorlaOk);
  EXPECT_EQ(NorlaServerCreate(result, "P1", port, 5, nullptr, nullptr), nullptr);
  EXPECT_EQ(result, kNorlaSocketOpenFailed);

  auto login = Send(port, 1, "P2");
  ASSERT_EQ(login.error, tally::ExchangeError::kNone) << login.detail;
  EXPECT_EQ(login.reply.extensions.size(), 1u);
  EXPECT_TRUE(NorlaServerSetExtParams(server, "A: 1\nB: 2"));
  EXPECT_EQ(Send(port, 0, "P1").reply.extensions.size(), 2u);
  NorlaServerQuit(server);
  NorlaServerDestroy(server);

  Strings lines = log.Lines();
  ASSERT_EQ(lines.size(), 4u) << "failed creations log no ServiceEnd";
  EXPECT_EQ(lines[0], "ServiceStart, Current clients : 0");
  EXPECT_EQ(lines[1].rfind("Socket open failed / Exception: ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("Connect : 127.0.0.1", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3], "ServiceEnd, Current clients : 1");
  EXPECT_EQ(events.Take(),
            (Strings{"Connect 127.0.0.1", "Login u1 a1", "Connect 127.0.0.1", "Ping"}));
}

TEST(NorlaServerTest, DestroyWaitsForAServerThreadStillInARequest) {
  ScopedLog log;
  server_test::Recorder stuck;
  stuck.gate.Set(false);  // the server thread stays in OnLogin
  unsigned short port = tally_test::FreeTcpPort();
  unsigned int result = 99;
  auto* server = NorlaServerCreate(result, "P1", port, 5, "", &stuck);
  ASSERT_NE(server, nullptr);
  std::thread client([port] { Send(port, 1, "P1"); });
  ASSERT_TRUE(stuck.gate.WaitForPassed(1));

  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    NorlaServerDestroy(server);
    destroyed = true;
  });
  ASSERT_TRUE(log.WaitForCount(2));
  EXPECT_EQ(log.Lines()[1], "ServiceEnd waiting for the server thread");
  EXPECT_FALSE(destroyed);
  stuck.gate.Set(true);
  destroyer.join();
  client.join();
  EXPECT_EQ(log.Lines().back(), "ServiceEnd, Current clients : 1");
}

}  // namespace
