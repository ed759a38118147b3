#include <gtest/gtest.h>

#include "server/event_log.h"
#include "server/norla_server.h"
#include "tests/unit/server/server_test_support.h"

namespace {

using norla_server::FormatEventLine;
using server_test::ScopedLogCapture;

TEST(EventLineTest, FormatsEachPartOnlyWhenPresent) {
  struct Case {
    char const* event;
    char const* address;
    char const* host;
    int count;
    char const* line;
  };
  Case const cases[] = {
      {"host text", "", "", -1, "host text"},
      {"ServiceStart", "", "", 0, "ServiceStart, Current clients : 0"},
      {"Connect", "192.0.2.7", "", 4, "Connect : 192.0.2.7, Current clients : 4"},
      {"Connect", "192.0.2.7", "pc7.example", 4,
       "Connect : 192.0.2.7 (pc7.example), Current clients : 4"},
      // A numeric fallback of the resolver is no name.
      {"Connect", "192.0.2.7", "192.0.2.7", 1, "Connect : 192.0.2.7, Current clients : 1"},
      {"Disconnect", "192.0.2.7(192.0.2.9)", "", 0,
       "Disconnect : 192.0.2.7(192.0.2.9), Current clients : 0"},
      {"Connect", "fe80::1%eth0", "", -1, "Connect : fe80::1%eth0"},
      {"100% done %s%n", "", "", -1, "100% done %s%n"},
      {"", "", "", 12, ", Current clients : 12"},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(FormatEventLine(c.event, c.address, c.host, c.count), c.line) << c.line;
  }
}

TEST(OutputLogTest, PassesTheLineThroughPercentSAtPriority6) {
  ScopedLogCapture capture;
  EXPECT_TRUE(norla_server::OutputLog("", "50% of %s", 3, nullptr, false));
  EXPECT_TRUE(norla_server::OutputLog("u1", "Connect", 1, "not-an-address", false));
  auto entries = capture->Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].priority, 6);
  EXPECT_EQ(entries[0].format, "%s");
  EXPECT_EQ(entries[0].line, "50% of %s, Current clients : 3");
  // Not an IP address: shown as it is, never looked up.
  EXPECT_EQ(entries[1].line, "Connect : not-an-address, Current clients : 1");
}

TEST(OutputLogTest, NullSourceOrEventEmitsNothing) {
  ScopedLogCapture capture;
  EXPECT_FALSE(norla_server::OutputLog(nullptr, "event", 1, nullptr, false));
  EXPECT_FALSE(norla_server::OutputLog("", nullptr, 1, nullptr, false));
  EXPECT_FALSE(NorlaLog(nullptr));
  EXPECT_TRUE(NorlaLog("host says 100%"));
  EXPECT_EQ(capture->Lines(), std::vector<std::string>{"host says 100%"});
}

TEST(ReverseLookupTest, OnlyIpAddressTextIsResolved) {
  struct Case {
    char const* text;
    bool isAddress;
  };
  Case const cases[] = {
      {"192.0.2.7", true},   {"::1", true},          {"fe80::1%1", true},
      {"::ffff:10.0.0.1", true}, {"", false},        {"192.0.2.7(192.0.2.9)", false},
      {"host.example", false}, {"192.0.2", false},   {"1.2.3.4 ", false},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(norla_server::IsIpAddressText(c.text), c.isAddress) << c.text;
    if (!c.isAddress) {
      EXPECT_EQ(norla_server::GetReverseLookup(c.text), "") << c.text;
    }
  }
}

}  // namespace
