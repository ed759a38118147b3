#include <gtest/gtest.h>

#include "server/ext_params.h"
#include "server/receive_packet_handler.h"
#include "server/request_date.h"
#include "server/request_text.h"
#include "tests/unit/server/server_test_support.h"

namespace {

using norla_server::KReceivePacketHandler;
using server_test::kNow;
using server_test::RequestText;
using server_test::ScopedLogCapture;

TEST(RequestParseTest, ValidationCodesInOrder) {
  struct Case {
    char const* name;
    std::string text;
    int code;
  };
  std::string const fields = "ProductID: P2\r\nUniqueID: u\r\nAppID: a\r\n";
  Case const cases[] = {
      {"empty text", "", 401},
      {"only line ends", "\r\n\n\r\r\n", 401},
      {"two words", "NORLA LOGIN\r\n" + fields, 402},
      {"lower-case magic", "norla LOGIN TAG\r\n" + fields, 403},
      {"magic checked before PING", "NORLAX PING TAG\r\n", 403},
      {"PING without fields", "NORLA PING TAG\r\n", 200},
      {"PING ignores a bad date", "NORLA PING TAG\r\nDate: 1999/01/01\r\n", 200},
      {"406 before 404 and 405", "NORLA LOGIN TAG\r\n", 406},
      {"404 before 405", "NORLA LOGIN TAG\r\nProductID: P1\r\n", 404},
      {"405", "NORLA LOGIN TAG\r\nProductID: P1\r\nUniqueID: u\r\n", 405},
      {"validation before command", "NORLA JUMP TAG\r\nProductID: P1\r\nUniqueID: u\r\n", 405},
      {"unknown command", "NORLA JUMP TAG\r\n" + fields, 501},
      {"command word is exact", RequestText("login", "P1", "u", "a"), 501},
      {"product not accepted", RequestText("LOGIN", "P3", "u", "a"), 601},
      {"product compared exactly", RequestText("LOGIN", "p1", "u", "a"), 601},
      {"date before product", RequestText("LOGIN", "P3", "u", "a", "2026-03-10"), 602},
      {"date not numbers", RequestText("LOGIN", "P1", "u", "a", "today"), 602},
      {"February 30", RequestText("LOGIN", "P1", "u", "a", "2026/02/30"), 603},
      {"month 13", RequestText("LOGIN", "P1", "u", "a", "2026/13/01"), 603},
      {"year 1399", RequestText("LOGIN", "P1", "u", "a", "1399/03/10"), 603},
      {"three days ahead", RequestText("LOGIN", "P1", "u", "a", "2026/03/13"), 604},
      {"three days behind", RequestText("LOGIN", "P1", "u", "a", "2026/03/07"), 604},
      {"two days ahead", RequestText("LOGIN", "P1", "u", "a", "2026/03/12"), 200},
      {"two days behind", RequestText("ALIVE", "P1", "v", "a", "2026/03/08"), 200},
      {"no date line", RequestText("ALIVE", "P1", "w", "a", ""), 200},
      {"LF line ends", "NORLA ALIVE TAG\nProductID: P1\nUniqueID: x\nAppID: a\n\n", 200},
      {"CR line ends and spaces", "NORLA   ALIVE  TAG extra\rProductID: P1\rUniqueID: x\rAppID: a", 200},
      {"no space after colon", "NORLA LOGIN TAG\r\nProductID:X\r\nUniqueID: u\r\nAppID: a\r\n", 406},
      {"any character is skipped", "NORLA LOGIN TAG\r\nProductID:XP1\r\nUniqueID: u\r\nAppID: a\r\n", 200},
      {"two spaces keep one", "NORLA LOGIN TAG\r\nProductID:  P1\r\nUniqueID: u\r\nAppID: a\r\n", 601},
  };
  for (Case const& c : cases) {
    ScopedLogCapture capture;
    KReceivePacketHandler handler("P1//P2/");
    handler.SetClock([] { return kNow; });
    std::string text = c.text;
    EXPECT_EQ(handler.ParsePacket(text, "192.0.2.1"), c.code) << c.name;
  }
}

TEST(RequestParseTest, FieldRules) {
  struct Case {
    char const* line;
    bool stored;
    char const* key;
    char const* value;
  };
  Case const cases[] = {
      {"UniqueID: abc", true, "UniqueID", "abc"},
      {"UniqueID:Xabc", true, "UniqueID", "abc"},  // the character after the colon is skipped
      {"UniqueID:  abc", true, "UniqueID", " abc"},
      {"UniqueID: a: b c", true, "UniqueID", "a: b c"},
      {"UniqueID:X", false, "", ""},
      {"UniqueID:", false, "", ""},
      {": value", false, "", ""},
      {"no colon", false, "", ""},
  };
  for (Case const& c : cases) {
    auto fields = norla_server::ExtractFields({c.line});
    if (!c.stored) {
      EXPECT_TRUE(fields.empty()) << c.line;
      continue;
    }
    ASSERT_EQ(fields.size(), 1u) << c.line;
    EXPECT_EQ(fields.begin()->first, c.key);
    EXPECT_EQ(fields.begin()->second, c.value);
  }
  // Padding that follows the text is part of the last line's value.
  auto padded = norla_server::ExtractFields(
      norla_server::SplitLines(std::string("A: 1\r\nB: 2\0\0", 12)));
  EXPECT_EQ(padded["B"], std::string("2\0\0", 3));
  auto duplicate = norla_server::ExtractFields({"UniqueID: first", "UniqueID: second"});
  EXPECT_EQ(duplicate["UniqueID"], "second");
}

TEST(RequestParseTest, LaterDuplicateFieldDecides) {
  ScopedLogCapture capture;
  KReceivePacketHandler handler("P1");
  handler.SetClock([] { return kNow; });
  std::string text = RequestText("LOGIN", "P1", "first", "a") + "UniqueID: second\r\n";
  EXPECT_EQ(handler.ParsePacket(text, "192.0.2.1"), 200);
  auto clients = handler.Clients();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients.begin()->first, "second");
}

TEST(RequestDateTest, ScanfSemanticsAndLimits) {
  auto const today = norla_server::UtcDay(kNow);
  struct Case {
    char const* value;
    int code;
  };
  Case const cases[] = {
      {"2026/03/10", 0},   {"2026/3/9", 0},     {" 2026/03/11", 0}, {"2026/03/10 junk", 0},
      {"20260/3/10", 602}, {"2026/03", 602},    {"/03/10", 602},    {"2026-03-10", 602},
      {"2026/00/10", 603}, {"2026/03/00", 603}, {"2026/04/31", 603}, {"2025/02/29", 603},
      {"-202/03/10", 603}, {"1400/01/01", 604}, {"9999/12/31", 604}, {"2026/03/13", 604},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(norla_server::CheckRequestDate(c.value, today), c.code) << c.value;
  }
  EXPECT_EQ(norla_server::CheckRequestDate("2028/02/29", norla_server::UtcDay(1835352000)), 0)
      << "leap day, the day after 2028-02-28";
  EXPECT_EQ(norla_server::UtcDay(kNow), boost::gregorian::date(2026, 3, 10));
}

TEST(ExtParamsTest, ParsesOrRejectsWhole) {
  struct Case {
    char const* text;
    bool accepted;
    norla_server::ExtParamMap map;
  };
  Case const cases[] = {
      {nullptr, true, {}},
      {"", true, {}},
      {"Site: Main\r\nLevel: 3\r\n", true, {{"Level", "3"}, {"Site", "Main"}}},
      {"A: 1\nB: 2\rC: 3\r\n\r\n\nD: 4", true, {{"A", "1"}, {"B", "2"}, {"C", "3"}, {"D", "4"}}},
      {"Key:  two spaces", true, {{"Key", " two spaces"}}},
      {"Key:Xvalue", true, {{"Key", "value"}}},
      {"no colon\r\nends in colon:\r\nK: v", true, {{"K", "v"}}},
      {"K: old\r\nK: new", true, {{"K", "new"}}},
      {"Key:1", false, {}},
      {": value", false, {}},
      {"Good: one\r\nKey: ", false, {}},
  };
  for (Case const& c : cases) {
    norla_server::ExtParamMap map{{"previous", "kept"}};
    bool accepted = norla_server::ParseExtParams(c.text, map);
    EXPECT_EQ(accepted, c.accepted) << (c.text ? c.text : "null");
    if (accepted) {
      EXPECT_EQ(map, c.map) << (c.text ? c.text : "null");
    } else {
      EXPECT_EQ(map, (norla_server::ExtParamMap{{"previous", "kept"}}));
    }
  }
}

}  // namespace
