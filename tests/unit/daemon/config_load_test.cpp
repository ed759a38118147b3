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

std::string Found(std::string const& key, std::string const& value) {
  return "6 Config: [" + key + "] = " + value;
}
std::string Missing(std::string const& key) {
  return "6 Config: [" + key + "] not found.";
}
std::string const kLoadFailed = "3 Config: Failed to load config file.";
std::string const kLoadError = "3 Config: An error occured while loading config file.";
std::string const kIdent = "syslog-ident", kEnabled = "sendmail-enabled", kTo = "sendmail-to",
                  kFrom = "sendmail-from";

// Identity, mail on, recipient, sender.
using Settings = std::tuple<std::string, bool, std::string, std::string>;

TEST(ConfigLoad, MessagesAndSettingsPerFile) {
  std::string const i200(200, 'i'), i201(201, 'j');
  std::string const source = __FILE__;
  std::stringstream shipped;  // the example file in the repository
  shipped
      << std::ifstream(source.substr(0, source.rfind("/tests/")) + "/examples/tallyd.conf").rdbuf();
  struct Case {
    std::string file;                   // "": no file at all
    std::vector<std::string> messages;  // after "Loading from"
    Settings after;
  };
  Settings const unchanged{"prior", false, "", ""};
  Case const cases[] = {
      {"", {kLoadFailed}, unchanged},
      {shipped.str(),
       {Found(kIdent, "tallyd"), Found(kEnabled, "1"), Found(kTo, "ops@example.org"),
        Found(kFrom, "tallyd@example.org"), Found("state-file", "/var/lib/tallyd/tallyd.db")},
       {"tallyd", true, "ops@example.org", "tallyd@example.org"}},
      {"\xEF\xBB\xBF[tallyd]\r\n  syslog-ident = bom ident \r\n# c\r\n\r\nsendmail-enabled =  7"
       "\r\nsendmail-to= a@b \r\nsendmail-from =c@d\r\n",
       {Found(kIdent, "bom ident"), Found(kEnabled, "7"), Found(kTo, "a@b"), Found(kFrom, "c@d")},
       {"bom ident", true, "a@b", "c@d"}},
      {"[tallyd]\nsyslog-ident=a\nsendmail-enabled=1\nsyslog-ident=b\n", {kLoadFailed}, unchanged},
      {"[tallyd]\nsyslog-ident=a\n[x]\n[tallyd]\nsendmail-enabled=1\n", {kLoadFailed}, unchanged},
      {"\xEF\xBB[tallyd]\nsyslog-ident=a\n", {kLoadFailed}, unchanged},  // not a whole mark
      {"[other]\nsyslog-ident=x\n[tallyd]\nsendmail-enabled=0\nsendmail-to=a\nsendmail-from=b",
       {Missing(kIdent), Found(kEnabled, "0")},
       unchanged},
      {"[tallyd]\nsendmail-enabled=abc\nsendmail-to=a\n",
       {Missing(kIdent), Found(kEnabled, "abc")},
       unchanged},
      {"[tallyd]\nsendmail-enabled=4294967296\nsendmail-to=a\n",  // 0 in 32 bits
       {Missing(kIdent), Found(kEnabled, "4294967296")},
       unchanged},
      {"[tallyd]\nsendmail-enabled=2\nsendmail-to=a\nsendmail-from=b\n",
       {Missing(kIdent), Found(kEnabled, "2"), Found(kTo, "a"), Found(kFrom, "b")},
       {"prior", true, "a", "b"}},
      {"[tallyd]\nsendmail-enabled=-1\nsendmail-to=a\nsendmail-from=b\n",
       {Missing(kIdent), Found(kEnabled, "-1"), Found(kTo, "a"), Found(kFrom, "b")},
       {"prior", true, "a", "b"}},
      // The sender is read even after the recipient switched mail off.
      {"[tallyd]\nsendmail-enabled=1\nsendmail-from=b\n",
       {Missing(kIdent), Found(kEnabled, "1"), Missing(kTo), Found(kFrom, "b")},
       {"prior", false, "", "b"}},
      // Empty counts as absent.
      {"[tallyd]\nsyslog-ident=\nsendmail-enabled=1\nsendmail-to=a\nsendmail-from= \n",
       {Missing(kIdent), Found(kEnabled, "1"), Found(kTo, "a"), Missing(kFrom)},
       {"prior", false, "a", ""}},
      {"[tallyd]\nsyslog-ident=" + i200,
       {Found(kIdent, i200), Missing(kEnabled)},
       {i200, false, "", ""}},
      // The load ends; the steps before it stand.
      {"[tallyd]\nsyslog-ident=kept\nsendmail-enabled=sink-throws\nsendmail-to=a\n",
       {Found(kIdent, "kept"), kLoadError},
       {"kept", false, "", ""}},
      {"[tallyd]\nsyslog-ident=" + i201, {Found(kIdent, i201), Missing(kEnabled)}, unchanged},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.file.substr(0, 80));
    std::strcpy(g_syslogIdent, "prior");
    g_sendmailEnabled = false, g_sendmailTo = g_sendmailFrom = "";
    logged = {};
    std::string const path =
        c.file.empty() ? "/nonexistent-tallyd-dir/tallyd.conf" : daemon_test::WriteScratch(c.file);
    ServiceBounds bounds;
    LoadConfiguration(path, daemon_test::CaptureLog, bounds);
    std::vector<std::string> expected{"6 Config: Loading from " + path};
    expected.insert(expected.end(), c.messages.begin(), c.messages.end());
    EXPECT_EQ(logged.lines, expected);
    EXPECT_EQ(Settings(g_syslogIdent, g_sendmailEnabled, g_sendmailTo, g_sendmailFrom), c.after);
    // The identity changes with the line that reports it, not after.
    EXPECT_EQ(logged.idents.at(0), "prior");
    EXPECT_EQ(logged.idents.at(1), std::string(g_syslogIdent));
  }
}

// Loads a [tallyd] section holding `keys`; its messages must be the designed
// keys' (all absent) followed by `lines`.
ServiceBounds LoadKeys(std::string const& keys, std::vector<std::string> const& lines) {
  logged = {};
  std::string const path = daemon_test::WriteScratch("[tallyd]\n" + keys);
  ServiceBounds bounds;
  LoadConfiguration(path, daemon_test::CaptureLog, bounds);
  std::vector<std::string> expected{"6 Config: Loading from " + path, Missing(kIdent),
                                    Missing(kEnabled)};
  expected.insert(expected.end(), lines.begin(), lines.end());
  EXPECT_EQ(logged.lines, expected);
  return bounds;
}

TEST(ConfigLoad, BoundsReportedOnlyWhenPresentAndRefusedOutOfRange) {
  struct Case {
    std::string keys;
    std::vector<std::string> lines;  // after the designed keys' messages
    unsigned long clients, timeout, perAddress;
    std::string stateFile = "";
    unsigned long historyDays = 400;
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
      {"client-timeout=86401\nmax-clients=+7\nmax-connections-per-address=\nstate-file=\n",
       {"6 Config: [max-clients] = +7",
        "3 Config: [max-clients]" + range + "1 to 100000000; using 1000000",
        "6 Config: [client-timeout] = 86401",
        "3 Config: [client-timeout]" + range + "10 to 86400; using 300"},
       1000000,
       300,
       256},
      {"state-file=/var/lib/s.db\nhistory-days=30\nevents-days=0\n",
       {"6 Config: [state-file] = /var/lib/s.db", "6 Config: [history-days] = 30",
        "6 Config: [events-days] = 0",
        "3 Config: [events-days]" + range + "1 to 36500; using 90"},
       1000000,
       300,
       256,
       "/var/lib/s.db",
       30},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.keys);
    ServiceBounds const bounds = LoadKeys(c.keys, c.lines);
    EXPECT_EQ(bounds.maxClients, c.clients);
    EXPECT_EQ(bounds.clientTimeoutSeconds, c.timeout);
    EXPECT_EQ(bounds.maxConnectionsPerAddress, c.perAddress);
    EXPECT_EQ(bounds.stateFile, c.stateFile);
    EXPECT_EQ(bounds.historyDays, c.historyDays);
  }
}

TEST(ConfigLoad, StoreKeysReportedOnlyWhenPresentAndAnUnusableStoreMarked) {
  struct Case {
    std::string keys;
    std::vector<std::string> lines;  // after the designed keys' messages
    std::string store;
    bool unusable;
  };
  Case const cases[] = {
      {"", {}, "", false},
      {"store=redis://r:6379\nstore-key-prefix=t1:\nstore-password-file=/p\n",
       {"6 Config: [store] = redis://r:6379", "6 Config: [store-key-prefix] = t1:",
        "6 Config: [store-password-file] = /p"},
       "redis://r:6379",
       false},
      {"store=redis://r\n",
       {"6 Config: [store] = redis://r", "3 Config: [store] unusable: 'r' is not HOST:PORT"},
       "redis://r",
       true},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.keys);
    ServiceBounds const bounds = LoadKeys(c.keys, c.lines);
    EXPECT_EQ(bounds.store, c.store);
    EXPECT_EQ(bounds.storeUnusable, c.unusable);
  }
}

TEST(DataDir, ConfigFilePath) {
  SettleDataDir();  // no --datadir
  EXPECT_EQ(ConfigFilePath(g_data_dir), "/etc/opt/tallyd/tallyd.conf");
  EXPECT_EQ(ConfigFilePath("site2"), "/etc/opt/site2/tallyd.conf");
}

}  // namespace
