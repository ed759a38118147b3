#include <gtest/gtest.h>

#include "server/ext_params.h"
#include "tests/unit/server/server_test_support.h"

namespace {

using server_test::RequestText;

TEST(RequestParseTest, ReplyCodes) {
  std::string const ids = "ProductID: P2\r\nUniqueID: u\r\nAppID: a\r\n";
  struct Case {
    std::string text;
    int code;
  };
  Case const cases[] = {
      {"", 401},
      {"\r\n\n\r", 401},
      {"NORLA LOGIN\r\n" + ids, 402},
      {"norla LOGIN TAG\r\n" + ids, 403},
      {"NORLA PING TAG", 200},
      {"NORLA PING TAG\r\nDate: 1999/01/01\r\n", 200},
      {"NORLA LOGIN TAG\r\nUniqueID: u\r\nAppID: a\r\n", 406},
      {"NORLA LOGIN TAG\r\nProductID: P1\r\n", 404},
      {"NORLA JUMP TAG\r\nProductID: P1\r\nUniqueID: u\r\n", 405},
      {"NORLA JUMP TAG\r\n" + ids, 501},
      {RequestText("login", "u", "a"), 501},
      {RequestText("LOGIN", "u", "a", "", "P3"), 601},
      {RequestText("LOGIN", "u", "a", "2026-03-10", "P3"), 602},
      {RequestText("LOGIN", "u", "a", "2026/02/30"), 603},
      {RequestText("LOGIN", "u", "a", "2026/03/13"), 604},
      {RequestText("LOGIN", "u", "a", "2026/03/07"), 604},
      {RequestText("LOGIN", "u", "a", "2026/03/12"), 200},
      {RequestText("LOGIN", "u", "a", "2026/03/08"), 200},
      {RequestText("LOGIN", "u", "a", " 2026/3/11 junk"), 200},  // read as sscanf reads it
      {RequestText("LOGIN", "u", "a", "20260/03/10"), 602},
      {RequestText("LOGIN", "u", "a", "-202/03/10"), 603},
      {RequestText("LOGIN", "u", "a", "1400/01/01"), 604},
      {"NORLA  ALIVE   TAG more\nProductID: P1\nUniqueID: u\nAppID: a\n", 200},
      {"NORLA ALIVE TAG\rProductID:XP1\rUniqueID: u\rAppID: a", 200},
      {"NORLA ALIVE TAG\r\nProductID:X\r\nUniqueID: u\r\nAppID: a\r\n", 406},
      {"NORLA ALIVE TAG\r\nProductID:  P1\r\nUniqueID: u\r\nAppID: a\r\n", 601},
      {"NORLA ALIVE TAG\r\n" + ids + "ProductID: P9\r\n", 601},
      {"NORLA ALIVE TAG\r\nProductID: P9\r\n" + ids, 200},
  };
  for (Case const& c : cases) {
    server_test::ScopedLog log;
    norla_server::KReceivePacketHandler handler("P1//P2/");
    handler.SetClock([] { return server_test::kNow; });
    std::string text = c.text;
    EXPECT_EQ(handler.ParsePacket(text, "192.0.2.1"), c.code) << c.text;
  }
}

TEST(ExtParamsTest, AcceptedWholeOrNotAtAll) {
  using Map = norla_server::ExtParamMap;
  struct Case {
    char const* text;
    bool accepted;
    Map map;
  };
  Case const cases[] = {
      {nullptr, true, {}},
      {"", true, {}},
      {"Site: Main\r\nLevel: 3\r\n", true, {{"Level", "3"}, {"Site", "Main"}}},
      {"A: 1\nB: 2\r\r\n\nC: 3", true, {{"A", "1"}, {"B", "2"}, {"C", "3"}}},
      {"Key:  two", true, {{"Key", " two"}}},
      {"no colon\r\nends in colon:\r\nK: v", true, {{"K", "v"}}},
      {"K: old\r\nK: new", true, {{"K", "new"}}},
      {"Key:1", false, {}},
      {": value", false, {}},
  };
  for (Case const& c : cases) {
    Map map{{"previous", "kept"}};
    char const* name = c.text != nullptr ? c.text : "(null)";
    EXPECT_EQ(norla_server::ParseExtParams(c.text, map), c.accepted) << name;
    EXPECT_EQ(map, c.accepted ? c.map : (Map{{"previous", "kept"}})) << name;
  }
}

}  // namespace
