// The configuration file on the real binary, read from a temporary data
// directory under /etc/opt with --standalone first so its messages are echoed.

#include <gtest/gtest.h>
#include <signal.h>

#include "tests/support/config_data_dir.h"
#include "tests/support/daemon_process.h"

namespace {

using namespace tally_test;

TEST(ConfigFile, MessagesOnTheConsole) {
  struct Case {
    char const* name;
    std::string content;
    std::vector<std::string> out;  // after "Config: Loading from <path>"
    std::vector<std::string> err;  // before "tallyd service initialized"
  } const cases[] = {
      {"complete, with a byte-order mark",
       "\xEF\xBB\xBF[tallyd]\r\nsyslog-ident = e2e\r\nsendmail-enabled = -1\r\n"
       "sendmail-to = ops@example.org\r\nsendmail-from = tallyd@example.org\r\n",
       {"Config: [syslog-ident] = e2e", "Config: [sendmail-enabled] = -1",
        "Config: [sendmail-to] = ops@example.org", "Config: [sendmail-from] = tallyd@example.org"},
       {}},
      {"duplicate key",
       "[tallyd]\nsyslog-ident=a\nsyslog-ident=b\n",
       {},
       {"Config: Failed to load config file."}},
  };
  TempDir dir;
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigDataDir config(c.content);
    if (!config.error().empty()) GTEST_SKIP() << config.error();
    auto daemon = StartStandaloneDaemon(FreeTcpPort(), dir.path(), {"--datadir", config.name()});
    ASSERT_NE(daemon, nullptr);
    ASSERT_TRUE(daemon->WaitForLine("tallyd service initialized", 10s, Stream::kStderr));
    daemon->Signal(SIGINT);
    EXPECT_EQ(daemon->WaitExit(), 0);

    std::vector<std::string> out = daemon->Lines(Stream::kStdout);
    ASSERT_GT(out.size(), c.out.size());
    EXPECT_EQ(out[0], "Config: Loading from " + config.configPath());
    EXPECT_EQ(std::vector<std::string>(out.begin() + 1, out.begin() + 1 + c.out.size()), c.out);
    EXPECT_EQ(out[1 + c.out.size()].rfind("tallyd service starting", 0), 0u)
        << out[1 + c.out.size()];

    std::vector<std::string> err = c.err;
    err.push_back("tallyd service initialized");
    EXPECT_EQ(daemon->Lines(Stream::kStderr), err);
  }
}

}  // namespace
