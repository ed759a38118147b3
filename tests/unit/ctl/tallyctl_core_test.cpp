// tallyctl's pure core: the command line, URL escaping and the tables.

#include <gtest/gtest.h>

#include "ctl/ctl_command.h"
#include "ctl/table_format.h"
#include "ctl/usage_report.h"

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
      {"report", "--by", "week"}, {"status", "--csv"}, {"report", "--from", "2026-02-30"},
      {"report", "--from", "2026-12-02", "--to", "2026-12-01"},
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

TEST(UsageReportTest, PeriodsOrAppsAsTableAndCsv) {
  std::string error;
  CtlCommand const command =
      CtlCommand::Parse({"report", "--from", "2026-11-01", "--by", "app", "--csv"}, error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(std::tie(command.from, command.by, command.csv),
            std::make_tuple(1793491200, ReportBy::kApp, true));
  auto const usage = nlohmann::ordered_json::parse(R"({
      "periods":[{"start":"2026-11-10T12:00:00Z","max":4,"average":1.5,"distinct_clients":5},
                 {"start":"2026-11-10T13:00:00Z","max":1,"average":1,"distinct_clients":null}],
      "total":{"by_app":{"b,\"c\"":{"max":3,"average":0.25,"distinct_clients":3}}}})");
  EXPECT_EQ(UsageReport::Table(UsageReport::Rows(usage, ReportBy::kHour), ReportBy::kHour),
            "PERIOD             PEAK  AVERAGE  DISTINCT\n"
            "2026-11-10T12:00Z  4     1.50     5\n"
            "2026-11-10T13:00Z  1     1.00     -\n");
  EXPECT_EQ(UsageReport::Csv(UsageReport::Rows(usage, ReportBy::kDay), ReportBy::kDay),
            "period,peak,average,distinct\n2026-11-10,4,1.50,5\n2026-11-10,1,1.00,\n");
  EXPECT_EQ(UsageReport::Csv(UsageReport::Rows(usage, ReportBy::kApp), ReportBy::kApp),
            "app_id,peak,average,distinct\n\"b,\"\"c\"\"\",3,0.25,3\n");
}

}  // namespace
