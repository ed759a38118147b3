// tallyctl's pure core: the command line, URL escaping and the tables.

#include <gtest/gtest.h>

#include "ctl/ctl_command.h"
#include "ctl/table_format.h"

namespace {

using namespace tallyctl;

TEST(CtlCommandTest, ParsesCommands) {
  struct Case {
    std::vector<std::string> args;
    Verb verb;
    std::string id, port;
    std::size_t limit;
  };
  Case const cases[] = {
      {{"status"}, Verb::kStatus, "", "14356", 100},
      {{"--admin", "http://[::1]:99/", "list", "--limit", "7", "--json"}, Verb::kList, "", "99", 7},
      {{"release", "a b", "--token-file", "t"}, Verb::kRelease, "a b", "14356", 100},
  };
  for (Case const& c : cases) {
    std::string error;
    CtlCommand const command = CtlCommand::Parse(c.args, error);
    std::string const args = ::testing::PrintToString(c.args);
    EXPECT_EQ(error, "") << args;
    EXPECT_EQ(command.verb, c.verb) << args;
    EXPECT_EQ(command.id, c.id) << args;
    EXPECT_EQ(command.admin.port, c.port) << args;
    EXPECT_EQ(command.limit, c.limit) << args;
  }
}

TEST(CtlCommandTest, RefusesMisuse) {
  std::vector<std::string> const cases[] = {
      {}, {"stats"}, {"show"}, {"show", "a", "b"}, {"list", "--limit", "0"},
      {"list", "--limit", "-3"}, {"status", "--app", "x"}, {"--admin", "https://h:1", "status"},
      {"--admin", "http://h:70000", "status"}, {"status", "--bogus"}, {"list", "--app"},
  };
  for (auto const& args : cases) {
    std::string error;
    CtlCommand::Parse(args, error);
    EXPECT_NE(error, "") << ::testing::PrintToString(args);
  }
}

TEST(CtlCommandTest, EscapesEverythingButUnreservedCharacters) {
  EXPECT_EQ(UrlEncode("PC/42+a b~_.-Z9%"), "PC%2F42%2Ba%20b~_.-Z9%25");
}

TEST(TableFormatTest, AlignsClientsAndFlattensStatus) {
  auto const page = nlohmann::ordered_json::parse(R"({"clients":[
      {"unique_id":"PC-0042","app_id":"writer","address":"10.0.0.7","logins":12,
       "last_seen":"2026-12-06T19:20:00Z"},
      {"unique_id":"b","app_id":"w","address":"::1","logins":1,"last_seen":"x"}]})");
  EXPECT_EQ(TableFormat::Clients(page["clients"]),
            "UNIQUE ID  APP ID  ADDRESS   LOGINS  LAST SEEN\n"
            "PC-0042    writer  10.0.0.7  12      2026-12-06T19:20:00Z\n"
            "b          w       ::1       1       x\n");
  auto const status = nlohmann::ordered_json::parse(
      R"({"version":"1.0.0","peak_time":null,"access_lists":{"deny":1,"loaded_at":"t"},
          "clients_by_app":[{"app_id":"mail","clients":3}],"clients_by_app_none":[]})");
  EXPECT_EQ(TableFormat::KeyValues(status),
            "version:                 1.0.0\n"
            "peak_time:               -\n"
            "access_lists.deny:       1\n"
            "access_lists.loaded_at:  t\n"
            "clients_by_app.mail:     3\n"
            "clients_by_app_none:     []\n");
}

}  // namespace
