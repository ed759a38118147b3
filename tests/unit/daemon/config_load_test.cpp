#include "daemon/config_load.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstring>
#include <optional>
#include <stdexcept>

#include "daemon/notify_mail.h"
#include "daemon/process_log.h"
#include "tests/unit/daemon/capture.h"

namespace {

using daemon_test::CaptureLog;
using daemon_test::Logged;
using daemon_test::LoggedLine;

constexpr char kNoFile[] = "\x01no file";

struct ConfigCase {
  char const* name;
  std::string content;  // kNoFile: the path does not exist
  // Expected lines after "Config: Loading from <path>".
  std::vector<LoggedLine> lines;
  std::string ident;
  bool enabled;
  std::string to;
  std::string from;
};

LoggedLine Info(std::string text) {
  return {LOG_INFO, std::move(text), {}};
}
LoggedLine Err(std::string text) {
  return {LOG_ERR, std::move(text), {}};
}

std::string const kIdent200(200, 'i');
std::string const kIdent201(201, 'j');

std::vector<ConfigCase> Cases() {
  LoggedLine const failed = Err("Config: Failed to load config file.");
  LoggedLine const noIdent = Info("Config: [syslog-ident] not found.");
  LoggedLine const noEnabled = Info("Config: [sendmail-enabled] not found.");
  return {
      {"missing file", kNoFile, {failed}, "tally", false, "", ""},
      {"complete",
       "; tallyd settings\n[tallyd]\nsyslog-ident=tallyprod\nsendmail-enabled=1\n"
       "sendmail-to=ops@example.org\nsendmail-from=tallyd@example.org\n",
       {Info("Config: [syslog-ident] = tallyprod"), Info("Config: [sendmail-enabled] = 1"),
        Info("Config: [sendmail-to] = ops@example.org"),
        Info("Config: [sendmail-from] = tallyd@example.org")},
       "tallyprod",
       true,
       "ops@example.org",
       "tallyd@example.org"},
      {"byte-order mark and spaces around '='",
       "\xEF\xBB\xBF[tallyd]\r\n  syslog-ident = bom ident \r\n# comment\r\n\r\n"
       "sendmail-enabled =  7\r\nsendmail-to= a@b \r\nsendmail-from =c@d\r\n",
       {Info("Config: [syslog-ident] = bom ident"), Info("Config: [sendmail-enabled] = 7"),
        Info("Config: [sendmail-to] = a@b"), Info("Config: [sendmail-from] = c@d")},
       "bom ident",
       true,
       "a@b",
       "c@d"},
      {"duplicate key fails the whole file",
       "[tallyd]\nsyslog-ident=first\nsendmail-enabled=1\nsyslog-ident=second\n",
       {failed},
       "tally",
       false,
       "",
       ""},
      {"keys outside the section",
       "[other]\nsyslog-ident=x\nsendmail-enabled=1\n",
       {noIdent, noEnabled},
       "tally",
       false,
       "",
       ""},
      {"enabled 0 reads no address",
       "[tallyd]\nsendmail-enabled=0\nsendmail-to=a\nsendmail-from=b\n",
       {noIdent, Info("Config: [sendmail-enabled] = 0")},
       "tally",
       false,
       "",
       ""},
      {"enabled without leading digits",
       "[tallyd]\nsendmail-enabled=abc\nsendmail-to=a\n",
       {noIdent, Info("Config: [sendmail-enabled] = abc")},
       "tally",
       false,
       "",
       ""},
      {"enabled 2",
       "[tallyd]\nsendmail-enabled=2\nsendmail-to=a\nsendmail-from=b\n",
       {noIdent, Info("Config: [sendmail-enabled] = 2"), Info("Config: [sendmail-to] = a"),
        Info("Config: [sendmail-from] = b")},
       "tally",
       true,
       "a",
       "b"},
      {"enabled -1",
       "[tallyd]\nsendmail-enabled=-1\nsendmail-to=a\nsendmail-from=b\n",
       {noIdent, Info("Config: [sendmail-enabled] = -1"), Info("Config: [sendmail-to] = a"),
        Info("Config: [sendmail-from] = b")},
       "tally",
       true,
       "a",
       "b"},
      {"enabled value truncated to 32 bits",
       "[tallyd]\nsendmail-enabled=4294967296\nsendmail-to=a\n",
       {noIdent, Info("Config: [sendmail-enabled] = 4294967296")},
       "tally",
       false,
       "",
       ""},
      {"missing sendmail-to still reads sendmail-from",
       "[tallyd]\nsendmail-enabled=1\nsendmail-from=b\n",
       {noIdent, Info("Config: [sendmail-enabled] = 1"), Info("Config: [sendmail-to] not found."),
        Info("Config: [sendmail-from] = b")},
       "tally",
       false,
       "",
       "b"},
      {"missing sendmail-from",
       "[tallyd]\nsendmail-enabled=1\nsendmail-to=a\n",
       {noIdent, Info("Config: [sendmail-enabled] = 1"), Info("Config: [sendmail-to] = a"),
        Info("Config: [sendmail-from] not found.")},
       "tally",
       false,
       "a",
       ""},
      {"empty values count as absent",
       "[tallyd]\nsyslog-ident=\nsendmail-enabled=1\nsendmail-to=\nsendmail-from= \n",
       {noIdent, Info("Config: [sendmail-enabled] = 1"), Info("Config: [sendmail-to] not found."),
        Info("Config: [sendmail-from] not found.")},
       "tally",
       false,
       "",
       ""},
      {"empty enabled counts as absent",
       "[tallyd]\nsendmail-enabled=\nsendmail-to=a\n",
       {noIdent, noEnabled},
       "tally",
       false,
       "",
       ""},
      {"identity of 200 bytes is applied",
       "[tallyd]\nsyslog-ident=" + kIdent200 + "\n",
       {Info("Config: [syslog-ident] = " + kIdent200), noEnabled},
       kIdent200,
       false,
       "",
       ""},
      {"identity of 201 bytes is reported, not applied",
       "[tallyd]\nsyslog-ident=" + kIdent201 + "\n",
       {Info("Config: [syslog-ident] = " + kIdent201), noEnabled},
       "tally",
       false,
       "",
       ""},
  };
}

class ConfigLoad : public testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override {
    Reset();
    for (auto const& path : paths_) std::remove(path.c_str());
  }
  static void Reset() {
    Logged().clear();
    std::strcpy(g_syslogIdent, "tally");
    g_sendmailEnabled = false;
    g_sendmailTo.clear();
    g_sendmailFrom.clear();
  }
  std::string PathFor(std::string const& content) {
    if (content == kNoFile) return "/nonexistent-tallyd-dir/tallyd.conf";
    paths_.push_back(daemon_test::WriteTempFile(content));
    return paths_.back();
  }
  std::vector<std::string> paths_;
};

TEST_F(ConfigLoad, MessagesAndSettingsPerCase) {
  for (ConfigCase const& c : Cases()) {
    SCOPED_TRACE(c.name);
    Reset();
    std::string const path = PathFor(c.content);
    LoadConfiguration(path, CaptureLog);

    std::vector<LoggedLine> expected{Info("Config: Loading from " + path)};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    ASSERT_EQ(Logged().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(Logged()[i].priority, expected[i].priority) << i;
      EXPECT_EQ(Logged()[i].text, expected[i].text) << i;
    }
    EXPECT_EQ(std::string(g_syslogIdent), c.ident);
    EXPECT_EQ(g_sendmailEnabled, c.enabled);
    EXPECT_EQ(g_sendmailTo, c.to);
    EXPECT_EQ(g_sendmailFrom, c.from);
  }
}

TEST_F(ConfigLoad, IdentityIsInPlaceBeforeItsMessage) {
  LoadConfiguration(PathFor("[tallyd]\nsyslog-ident=newident\n"), CaptureLog);
  ASSERT_GE(Logged().size(), 2u);
  EXPECT_EQ(Logged()[0].identAtCall, "tally");
  EXPECT_EQ(Logged()[1].text, "Config: [syslog-ident] = newident");
  EXPECT_EQ(Logged()[1].identAtCall, "newident");
}

TEST_F(ConfigLoad, LongIdentityKeepsAnEarlierOne) {
  std::strcpy(g_syslogIdent, "earlier");
  LoadConfiguration(PathFor("[tallyd]\nsyslog-ident=" + kIdent201 + "\n"), CaptureLog);
  EXPECT_STREQ(g_syslogIdent, "earlier");
}

TEST_F(ConfigLoad, ShippedExampleLoads) {
  std::string const source = __FILE__;
  std::string const path =
      source.substr(0, source.rfind("/tests/unit/daemon/")) + "/examples/tallyd.conf";
  LoadConfiguration(path, CaptureLog);
  std::vector<std::string> texts;
  for (auto const& line : Logged()) texts.push_back(line.text);
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "Config: Loading from " + path, "Config: [syslog-ident] = tallyd",
                       "Config: [sendmail-enabled] = 1", "Config: [sendmail-to] = ops@example.org",
                       "Config: [sendmail-from] = tallyd@example.org"}));
}

// A log sink that fails once, on the sendmail-enabled message.
void ThrowingLog(int priority, char const* format, ...) {
  va_list args;
  va_start(args, format);
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (std::strncmp(text, "Config: [sendmail-enabled]", 26) == 0) {
    throw std::runtime_error("sink failed");
  }
  Logged().push_back({priority, text, g_syslogIdent});
}

TEST_F(ConfigLoad, ExceptionEndsTheLoadKeepingEarlierSteps) {
  LoadConfiguration(PathFor("[tallyd]\nsyslog-ident=kept\nsendmail-enabled=1\nsendmail-to=a\n"
                            "sendmail-from=b\n"),
                    ThrowingLog);
  ASSERT_EQ(Logged().size(), 3u);
  EXPECT_EQ(Logged()[1].text, "Config: [syslog-ident] = kept");
  EXPECT_EQ(Logged()[2].priority, LOG_ERR);
  EXPECT_EQ(Logged()[2].text, "Config: An error occured while loading config file.");
  EXPECT_STREQ(g_syslogIdent, "kept");
  EXPECT_FALSE(g_sendmailEnabled);
  EXPECT_EQ(g_sendmailTo, "");
}

}  // namespace
