#include "daemon/config_load.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <tuple>

#include "daemon/data_dir.h"
#include "daemon/notify_mail.h"
#include "tests/unit/daemon/capture.h"

namespace {

using daemon_test::logged;

// The lines after "Loading from", in short: "key=value" for "[key] = value",
// "key?" for "[key] not found.", "!" and "#" for the two error lines; "ident"
// is syslog-ident, the others are sendmail-<key>.
std::vector<std::string> Messages(std::string const& path, std::string const& shortForm) {
  std::vector<std::string> lines{"6 Config: Loading from " + path};
  std::istringstream items(shortForm);
  for (std::string item; std::getline(items, item, ';');) {
    auto const end = std::min(item.find('='), item.size() - 1);
    std::string const key =
        (item.compare(0, end, "ident") == 0 ? "syslog-" : "sendmail-") + item.substr(0, end);
    lines.push_back(item == "!"        ? "3 Config: Failed to load config file."
                    : item == "#"      ? "3 Config: An error occured while loading config file."
                    : item[end] == '?' ? "6 Config: [" + key + "] not found."
                                       : "6 Config: [" + key + "] = " + item.substr(end + 1));
  }
  return lines;
}

TEST(ConfigLoad, MessagesAndSettingsPerFile) {
  std::string const i200(200, 'i'), i201(201, 'j');
  std::string const source = __FILE__;
  std::stringstream shipped;  // the example file in the repository
  shipped
      << std::ifstream(source.substr(0, source.rfind("/tests/")) + "/examples/tallyd.conf").rdbuf();
  // File content ("": no file at all); messages in short form, see
  // Messages(); settings afterwards as ident|enabled|to|from.
  std::tuple<std::string, std::string, std::string> const cases[] = {
      {"", "!", "prior|0||"},
      {shipped.str(), "ident=tallyd;enabled=1;to=ops@example.org;from=tallyd@example.org",
       "tallyd|1|ops@example.org|tallyd@example.org"},
      {"\xEF\xBB\xBF[tallyd]\r\n  syslog-ident = bom ident \r\n# c\r\n\r\nsendmail-enabled =  7"
       "\r\nsendmail-to= a@b \r\nsendmail-from =c@d\r\n",
       "ident=bom ident;enabled=7;to=a@b;from=c@d", "bom ident|1|a@b|c@d"},
      {"[tallyd]\nsyslog-ident=a\nsendmail-enabled=1\nsyslog-ident=b\n", "!", "prior|0||"},
      {"[tallyd]\nsyslog-ident=a\n[x]\n[tallyd]\nsendmail-enabled=1\n", "!", "prior|0||"},
      {"\xEF\xBB[tallyd]\nsyslog-ident=a\n", "!", "prior|0||"},  // not a whole mark
      {"[other]\nsyslog-ident=x\n[tallyd]\nsendmail-enabled=0\nsendmail-to=a\nsendmail-from=b",
       "ident?;enabled=0", "prior|0||"},
      {"[tallyd]\nsendmail-enabled=abc\nsendmail-to=a\n", "ident?;enabled=abc", "prior|0||"},
      {"[tallyd]\nsendmail-enabled=4294967296\nsendmail-to=a\n", "ident?;enabled=4294967296",
       "prior|0||"},  // 0 in 32 bits
      {"[tallyd]\nsendmail-enabled=2\nsendmail-to=a\nsendmail-from=b\n",
       "ident?;enabled=2;to=a;from=b", "prior|1|a|b"},
      {"[tallyd]\nsendmail-enabled=-1\nsendmail-to=a\nsendmail-from=b\n",
       "ident?;enabled=-1;to=a;from=b", "prior|1|a|b"},
      {"[tallyd]\nsendmail-enabled=1\nsendmail-from=b\n", "ident?;enabled=1;to?;from=b",
       "prior|0||b"},  // the sender is read even after the recipient switched mail off
      {"[tallyd]\nsyslog-ident=\nsendmail-enabled=1\nsendmail-to=a\nsendmail-from= \n",
       "ident?;enabled=1;to=a;from?", "prior|0|a|"},  // empty counts as absent
      {"[tallyd]\nsyslog-ident=" + i200, "ident=" + i200 + ";enabled?", i200 + "|0||"},
      {"[tallyd]\nsyslog-ident=kept\nsendmail-enabled=sink-throws\nsendmail-to=a\n", "ident=kept;#",
       "kept|0||"},  // the load ends, the steps before stand
      {"[tallyd]\nsyslog-ident=" + i201, "ident=" + i201 + ";enabled?", "prior|0||"},
  };
  for (auto const& [content, messages, settings] : cases) {
    SCOPED_TRACE(content.substr(0, 80));
    std::strcpy(g_syslogIdent, "prior");
    g_sendmailEnabled = false, g_sendmailTo = g_sendmailFrom = "";
    logged = {};
    std::string const path = content.empty() ? "/nonexistent-tallyd-dir/tallyd.conf"
                                             : daemon_test::WriteScratch(content);
    ServiceBounds bounds;
    LoadConfiguration(path, daemon_test::CaptureLog, bounds);
    EXPECT_EQ(logged.lines, Messages(path, messages));
    EXPECT_EQ(std::string(g_syslogIdent) + "|" + std::to_string(g_sendmailEnabled) + "|" +
                  g_sendmailTo + "|" + g_sendmailFrom,
              settings);
    // The identity changes with the line that reports it, not after.
    EXPECT_EQ(logged.idents.at(0), "prior");
    EXPECT_EQ(logged.idents.at(1), std::string(g_syslogIdent));
  }
}

TEST(ConfigLoad, BoundsReportedOnlyWhenPresentAndRefusedOutOfRange) {
  struct Case {
    std::string keys;
    std::vector<std::string> lines;  // after the designed keys' messages
    unsigned long clients, timeout, perAddress;
  };
  std::string const range = " must be a whole number from ";
  Case const cases[] = {
      {"", {}, 1000000, 300, 256},
      {"max-clients=5\nclient-timeout=10\nmax-connections-per-address=3\n",
       {"6 Config: [max-clients] = 5", "6 Config: [client-timeout] = 10",
        "6 Config: [max-connections-per-address] = 3"},
       5,
       10,
       3},
      {"client-timeout=86401\nmax-clients=+7\nmax-connections-per-address=\n",
       {"6 Config: [max-clients] = +7",
        "3 Config: [max-clients]" + range + "1 to 100000000; using 1000000",
        "6 Config: [client-timeout] = 86401",
        "3 Config: [client-timeout]" + range + "10 to 86400; using 300"},
       1000000,
       300,
       256},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.keys);
    logged = {};
    std::string const path = daemon_test::WriteScratch("[tallyd]\n" + c.keys);
    ServiceBounds bounds;
    LoadConfiguration(path, daemon_test::CaptureLog, bounds);
    std::vector<std::string> expected = Messages(path, "ident?;enabled?");
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(logged.lines, expected);
    EXPECT_EQ(bounds.maxClients, c.clients);
    EXPECT_EQ(bounds.clientTimeoutSeconds, c.timeout);
    EXPECT_EQ(bounds.maxConnectionsPerAddress, c.perAddress);
  }
}

TEST(DataDir, ConfigFilePath) {
  SettleDataDir();  // no --datadir
  EXPECT_EQ(ConfigFilePath(g_data_dir), "/etc/opt/tallyd/tallyd.conf");
  EXPECT_EQ(ConfigFilePath("site2"), "/etc/opt/site2/tallyd.conf");
}

}  // namespace
