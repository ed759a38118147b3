#include <gtest/gtest.h>

#include "server/norla_server.h"
#include "tests/unit/server/server_test_support.h"

namespace {

using norla_server::OutputLog;
using server_test::ScopedLog;
using server_test::Strings;

TEST(EventLogTest, LineFormat) {
  struct Case {
    char const *event, *address, *host;
    int count;
    char const* line;
  };
  Case const cases[] = {
      {"host text", "", "", -1, "host text"},
      {"ServiceStart", "", "", 0, "ServiceStart, Current clients : 0"},
      {"Connect", "192.0.2.7", "", 4, "Connect : 192.0.2.7, Current clients : 4"},
      {"Connect", "192.0.2.7", "pc7", 4, "Connect : 192.0.2.7 (pc7), Current clients : 4"},
      {"Connect", "192.0.2.7", "192.0.2.7", 1, "Connect : 192.0.2.7, Current clients : 1"},
      {"Disconnect", "192.0.2.7(192.0.2.9)", "", 0,
       "Disconnect : 192.0.2.7(192.0.2.9), Current clients : 0"},
      {"100% %s%n", "", "", -1, "100% %s%n"},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(norla_server::FormatEventLine(c.event, c.address, c.host, c.count), c.line);
  }
}

TEST(EventLogTest, OutputLogWithoutWriter) {
  ScopedLog log;
  EXPECT_FALSE(OutputLog(nullptr, "event", 1, nullptr, false));
  EXPECT_FALSE(OutputLog("", nullptr, 1, nullptr, false));
  EXPECT_FALSE(NorlaLog(nullptr));
  EXPECT_TRUE(NorlaLog("50% of %s"));
  // Not an IP address: shown as it is, with no name.
  EXPECT_TRUE(OutputLog("u1", "Connect", 2, "192.0.2.7(192.0.2.9)", false));
  EXPECT_EQ(log.Lines(),
            (Strings{"50% of %s", "Connect : 192.0.2.7(192.0.2.9), Current clients : 2"}));
  for (char const* text : {"::1", "fe80::1%1", "192.0.2.7"}) {
    EXPECT_TRUE(norla_server::IsIpAddressText(text)) << text;
  }
  for (char const* text : {"", "host.example", "192.0.2", "1.2.3.4 "}) {
    EXPECT_FALSE(norla_server::IsIpAddressText(text)) << text;
    EXPECT_EQ(norla_server::GetReverseLookup(text), "") << text;
  }
}

}  // namespace
