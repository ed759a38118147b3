#include "server/norla_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "client/reply.h"
#include "server/log_stream.h"
#include "server/ext_params.h"
#include "tests/support/daemon_process.h"
#include "tests/support/sockets.h"
#include "tests/unit/server/server_test_support.h"
#include "transport/md5_hex.h"

namespace server_test {
namespace {

TEST_F(HandlerTest, ReplyCodes) {
  std::string const ids = "UniqueID: u\r\nAppID: a\r\n", p2 = "ProductID: P2\r\n" + ids;
  std::string const login = "NORLA LOGIN TAG\r\n" + p2 + "Date: 2026/";
  std::pair<std::string, int> const cases[] = {
      {"", 401},
      {"NORLA LOGIN\r\n" + p2, 402},
      {"norla LOGIN TAG\r\n" + p2, 403},
      {"NORLA PING TAG", 200},
      {"NORLA LOGIN TAG\r\n" + ids, 406},
      {"NORLA LOGIN TAG\r\nProductID: P1\r\n", 404},
      {"NORLA JUMP TAG\r\nProductID: P1\r\nUniqueID: u\r\n", 405},
      {"NORLA JUMP TAG\r\n" + p2, 501},
      {"NORLA LOGIN TAG\r\nProductID: P3\r\nDate: 2026-03-10\r\n" + ids, 602},
      {login + "02/30", 603},
      {login + "03/13", 604},
      {login + "03/07", 604},
      {login + "03/12", 200},
      {login + "3/8 junk", 200},  // read as sscanf reads it
      {"NORLA  ALIVE   TAG more\nProductID:XP1\rUniqueID: u\nAppID: a", 200},
      {"NORLA ALIVE TAG\r\n" + p2 + "ProductID: P9\r\n", 601},
  };
  for (auto [request, code] : cases)
    EXPECT_EQ(handler_.ParsePacket(request, "p1"), code) << request;
}

TEST(ExtParamsTest, AcceptedWholeOrNotAtAll) {
  using Map = norla_server::ExtParamMap;
  Map const previous{{"previous", "x"}};
  std::pair<char const*, Map> const cases[] = {
      {"Site: Old\nSite: Main\r\r\n\nLevel: 3\r\n", {{"Level", "3"}, {"Site", "Main"}}},
      {"Key:  two\r\nno colon\r\nends in colon:", {{"Key", " two"}}},
      {"Key:1", previous},  // rejected: the map is left as it was
      {": value", previous},
  };
  for (auto const& [text, expected] : cases) {
    Map map = previous;
    EXPECT_EQ(norla_server::ParseExtParams(text, map), expected != previous) << text;
    EXPECT_EQ(map, expected) << text;
  }
}

TEST_F(HandlerTest, ClientTable) {
  struct Step {
    int advance;
    char const *command, *unique, *app, *peer;
    int code;
    Strings log;
  } const steps[] = {
      {0, "LOGIN", "u1", "a1", "p1", 200, {"Login u1 a1", "Connect : p1, Current clients : 1"}},
      {0, "LOGIN", "u1", "a2", "p2", 200, {"CountUp u1 a2"}},
      {0, "EXIT", "u1", "a2", "p2", 200, {"CountDown u1 a2"}},
      {0, "EXIT", "u1", "a1", "p1", 200, {"Logout u1 a1", "Disconnect : p1, Current clients : 0"}},
      {0, "EXIT", "u1", "a1", "p1", 303, {}},
      {0, "LOGIN", "u2", "a1", "p2", 200, {"Login u2 a1", "Connect : p2, Current clients : 1"}},
      {0, "LOGIN", "u3", "a1", "p3", 200, {"Login u3 a1", "Connect : p3, Current clients : 2"}},
      {0, "LOGIN", "u3", "a2", "p9", 200, {"CountUp u3 a2"}},  // keeps the first peer
      {0, "ALIVE", "u4", "a1", "p4", 200, {"Login u4 a1", "Connect : p4, Current clients : 3"}},
      {250, "EXIT", "u3", "a1", "p3", 200, {"CountDown u3 a1"}},  // does not renew
      {50, "ALIVE", "u4", "a1", "p4", 200, {"Alive u4 a1"}},
  };
  for (Step const& step : steps) {
    mono_ += step.advance;
    std::string text = RequestText(step.command, step.unique, step.app);
    EXPECT_EQ(handler_.ParsePacket(text, step.peer), step.code);
    EXPECT_EQ(log_.Take(step.log.size()), step.log)
        << step.command << " " << step.unique << " " << step.app;
  }
  handler_.UpdateClients();
  EXPECT_TRUE(log_.Take().empty()) << "300 s idle stays";
  mono_ += 1;
  handler_.UpdateClients();
  Strings swept = log_.Take(4);  // notifications at once, lines from the log stream
  std::stable_partition(swept.begin(), swept.end(), [](auto& s) { return s[0] == 'K'; });
  EXPECT_EQ(swept, (Strings{"Killed u2", "Killed u3", "Disconnect(Timeout) : p2, Current clients : 2",
                            "Disconnect(Timeout) : p3, Current clients : 1"}));
}

// A full register refuses new UniqueIDs only, says so once, and once when it has room again.
TEST_F(HandlerTest, FullRegister) {
  handler_.SetMaxClients(2);
  std::string const full = "3 Register full, Current clients : 2";
  struct Step {
    char const *command, *unique;
    int code;
    unsigned long count;
    Strings log;
  } const steps[] = {
      {"LOGIN", "u1", 200, 1, {"Login u1 a", "Connect : p, Current clients : 1"}},
      {"ALIVE", "u2", 200, 2, {"Login u2 a", "Connect : p, Current clients : 2", full}},
      {"LOGIN", "u3", 503, 2, {}},
      {"ALIVE", "u1", 200, 2, {"Alive u1 a"}},
      {"EXIT", "u2", 200, 1,
       {"Logout u2 a", "Disconnect : p, Current clients : 1",
        "Register has room again, Current clients : 1"}},
      {"ALIVE", "u3", 200, 2, {"Login u3 a", "Connect : p, Current clients : 2", full}},
  };
  for (Step const& step : steps) {
    std::string body = Cipher(RequestText(step.command, step.unique, "a"), 256, true);
    ASSERT_TRUE(handler_(Bytes(body), body.size(), "p"));
    tally::TReply reply;
    ASSERT_TRUE(tally::ParseReply(Cipher(body, 256, false), reply));
    EXPECT_EQ(reply.code, step.code) << step.command << " " << step.unique;
    EXPECT_EQ(reply.currentClients, step.count) << step.command << " " << step.unique;
    EXPECT_EQ(log_.Take(step.log.size()), step.log) << step.command << " " << step.unique;
  }
}

// PING gets the last identified hash; replies fit the body; bytes past 512 stay.
TEST_F(HandlerTest, RepliesThroughTheCipher) {
  auto exchange = [this](std::string text, std::size_t size) {
    text = Cipher(text, size, true);
    EXPECT_TRUE(handler_(Bytes(text), size, "p1"));
    return Cipher(text, size, false);
  };
  auto reply = [](std::string ids, int count) {
    return "TALLYRPL1 200\r\n\r\nVersion: 1.00\r\nHash: " + norla::Md5Hex(ids) +
           "\r\nCurrentClients: " + std::to_string(count) + "\r\nArea: a\r\nZone: b\r\n";
  };
  ASSERT_TRUE(handler_.SetExtParams("Zone: b\r\nArea: a"));
  EXPECT_EQ(exchange("NORLA PING TAG", 112), reply("", 0) + std::string(3, '\0'));
  std::string empty = "x", tail(88, 'Z');
  EXPECT_TRUE(handler_(Bytes(empty), 0, "p1"));
  EXPECT_EQ(empty, "x");
  std::string body = Cipher(RequestText("LOGIN", "u1", "a1"), 512, true) + tail;
  ASSERT_TRUE(handler_(Bytes(body), body.size(), "p1"));
  EXPECT_EQ(body.substr(512), tail);
  EXPECT_STREQ(Cipher(body, 512, false).c_str(), reply("u1a1", 1).c_str());
  EXPECT_EQ(exchange("NORLA PING TAG", 32), reply("", 0).substr(0, 32));
  EXPECT_STREQ(exchange("NORLA PING TAG", 128).c_str(), reply("u1a1", 1).c_str());
}

using norla_server::OutputLog;

using norla_server::LogStream;
using norla_server::LogStreamOptions;

LogStreamOptions RecordingStream() {
  LogStreamOptions options;
  options.sink = &ScopedLog::Sink;
  return options;
}

TEST(LogStreamTest, OnlyValidHostNamesAreShown) {
  ScopedLog log;
  std::pair<std::string, std::string> const cases[] = {
      {"pc-7.example_net", " (pc-7.example_net)"},
      {"pc7\nConnect : 192.0.2.9, Current clients : 9", ""},
      {"pc\x1b[2J7", ""},
      {std::string(254, 'a'), ""},
      {"192.0.2.1", ""},  // no name: the address is not repeated
  };
  for (auto const& [name, shown] : cases) {
    LogStreamOptions options = RecordingStream();
    options.lookup = [name = name](std::string const&) { return name; };
    LogStream stream(options);
    stream.PostEvent("Connect", "192.0.2.1", 1);
    EXPECT_EQ(log.Take(1), Strings{"Connect : 192.0.2.1" + shown + ", Current clients : 1"});
  }
}

// Lookups run side by side; a line waits for its name until 2 s after it was
// posted, and the lines behind it wait with it.
TEST(LogStreamTest, HungLookupsHoldLinesInOrderForTwoSecondsAtMost) {
  ScopedLog log;
  static Journal calls;  // outlives the workers still hanging in it
  static std::atomic<int> ms;
  ms = 0;
  calls.Set(false);
  LogStreamOptions options = RecordingStream();
  options.lookup = [](std::string const& address) {
    calls.Add(address);
    return std::string("n");
  };
  options.now = [] { return LogStream::TimePoint() + std::chrono::milliseconds(ms.load()); };
  LogStream stream(options);
  stream.PostEvent("A", "192.0.2.1", 1);
  EXPECT_EQ(calls.Take(1), Strings{"192.0.2.1"});
  ms = 1000;
  stream.PostText(3, "B");
  stream.PostEvent("C", "192.0.2.2", 2);
  EXPECT_EQ(calls.Take(1), Strings{"192.0.2.2"});
  ms = 2000;
  EXPECT_EQ(log.Take(2), (Strings{"A : 192.0.2.1, Current clients : 1", "3 B"}));
  ms = 3000;
  EXPECT_EQ(log.Take(1), Strings{"C : 192.0.2.2, Current clients : 2"});
  calls.Set(true);
}

TEST(LogStreamTest, FullQueueDropsAndCountsLines) {
  ScopedLog log;
  LogStreamOptions options = RecordingStream();
  options.queueLimit = 2;
  LogStream stream(options);
  log.Set(false);  // the sink stalls
  stream.PostText(6, "1");
  EXPECT_EQ(log.Take(1), Strings{"1"});
  for (char const* line : {"2", "3", "4", "5"}) EXPECT_TRUE(stream.PostText(6, line));
  log.Set(true);
  EXPECT_EQ(log.Take(3), (Strings{"2", "3", "3 Log: 2 lines dropped while the system log was "
                                            "not accepting them"}));
}

// Destroy must not free anything under a server thread that has not ended.
TEST(NorlaServerTest, CreationCodesAndDestroyWaitingForTheServerThread) {
  ScopedLog log;
  Journal held;
  Recorder events(held);
  NorlaServerUpdateClients(nullptr);
  NorlaServerQuit(nullptr);
  NorlaServerDestroy(nullptr);
  EXPECT_FALSE(NorlaServerSetExtParams(nullptr, "Key: value"));
  EXPECT_FALSE(OutputLog(nullptr, "event", 1, nullptr, false));
  EXPECT_FALSE(OutputLog("", nullptr, 1, nullptr, false));
  EXPECT_FALSE(NorlaLog(nullptr));
  EXPECT_TRUE(NorlaLog("100% %s%n"));  // text, not a format
  unsigned short port = tally_test::FreeTcpPort();
  unsigned int result = 99;
  EXPECT_EQ(NorlaServerCreate(result, nullptr, port, 5, "", nullptr), nullptr);
  EXPECT_EQ(result, kNorlaException);
  EXPECT_EQ(NorlaServerCreate(result, "P1", port, 5, "Key:1", nullptr), nullptr);
  EXPECT_EQ(result, kNorlaBadExtParams);
  held.Set(false);  // the server thread will stay in OnConnect
  auto* server = NorlaServerCreate(result, "P1", port, 5, "", &events);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(NorlaServerCreate(result, "P1", port, 5, nullptr, nullptr), nullptr);
  EXPECT_EQ(result, kNorlaSocketOpenFailed);

  boost::asio::io_context io;
  auto const peer = tally_test::ConnectFrom(io, "127.0.0.1", port);
  EXPECT_EQ(held.Take(1), Strings{"Connect 127.0.0.1"});
  auto destroyed = std::async(std::launch::async, [server] { NorlaServerDestroy(server); });
  Strings lines = log.Take(4);
  EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  held.Set(true);
  destroyed.get();
  if (lines.size() > 2) lines[2].resize(32);  // the exception's own text varies
  EXPECT_EQ(
      lines,
      (Strings{"100% %s%n", "ServiceStart, Current clients : 0",
               "Socket open failed / Exception: ", "ServiceEnd waiting for the server thread"}));
  EXPECT_EQ(log.Take(1), Strings{"ServiceEnd, Current clients : 0"});
}

}  // namespace
}  // namespace server_test
