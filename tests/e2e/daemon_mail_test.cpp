// --test-mail on the real binary. A stand-in for /usr/lib/sendmail is laid
// over /usr/lib in a private mount namespace, so nothing outside the test
// sees it and no real mail leaves the machine.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>

#include "tests/support/config_data_dir.h"
#include "tests/support/daemon_process.h"
#include "tests/support/private_mounts.h"

namespace {

using namespace tally_test;

std::string const kMailConfig =
    "[tallyd]\nsendmail-enabled=1\nsendmail-to=ops@example.org\n"
    "sendmail-from=tallyd@example.org\n";

std::unique_ptr<DaemonProcess> RunTestMail(ConfigDataDir const& config,
                                           std::vector<std::string> wrapper = {}) {
  ProcessOptions options;
  options.args = {"--test-mail", "--datadir", config.name()};
  options.wrapper = std::move(wrapper);
  auto daemon = std::make_unique<DaemonProcess>(options);
  EXPECT_TRUE(daemon->Start());
  return daemon;
}

// "2026-12-05T09:38:48+0900": digits where the pattern has 'd'.
bool IsTimeStamp(std::string const& text) {
  std::string const pattern = "dddd-dd-ddTdd:dd:dd+dddd";
  if (text.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool const ok = pattern[i] == 'd'   ? std::isdigit(static_cast<unsigned char>(text[i])) != 0
                    : pattern[i] == '+' ? text[i] == '+' || text[i] == '-'
                                        : text[i] == pattern[i];
    if (!ok) return false;
  }
  return true;
}

TEST(TestMail, RefusedWhenMailIsOff) {
  struct Case {
    char const* config;
  } const cases[] = {
      {""},
      {"[tallyd]\nsendmail-enabled=0\nsendmail-to=a@b\nsendmail-from=c@d\n"},
      {"[tallyd]\nsendmail-enabled=abc\nsendmail-to=a@b\nsendmail-from=c@d\n"},
      // A missing address switches mail off while loading: 21, not 22 or 23.
      {"[tallyd]\nsendmail-enabled=1\nsendmail-from=c@d\n"},
      {"[tallyd]\nsendmail-enabled=1\nsendmail-to=a@b\nsendmail-from=\n"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.config);
    ConfigDataDir config(c.config);
    if (!config.error().empty()) GTEST_SKIP() << config.error();
    auto daemon = RunTestMail(config);
    EXPECT_EQ(daemon->WaitExit(), 21);
    EXPECT_EQ(daemon->Output(Stream::kStderr), "Mail send disabled.\n");
    EXPECT_EQ(daemon->Output(Stream::kStdout), "");
  }
}

class TestMailWithStandIn : public testing::Test {
 protected:
  void SetUp() override {
    std::string const reason = OverlayUnavailableReason("/usr/lib");
    if (!reason.empty()) GTEST_SKIP() << reason;
  }

  // Wrapper that puts `script` at /usr/lib/sendmail for the run.
  std::vector<std::string> WithSendmail(std::string const& script) {
    scratch_.WriteFile("args", "");
    std::string const overlay = scratch_.path() + "/overlay";
    std::string const setup = OverlayCommand("/usr/lib", overlay) + " && printf '%s' '" + script +
                              "' > /usr/lib/sendmail && chmod 755 /usr/lib/sendmail";
    return PrivateMountWrapper(setup);
  }

  std::string Captured(char const* name) const {
    return ReadFileText(scratch_.path() + "/" + name);
  }

  TempDir scratch_;
};

TEST_F(TestMailWithStandIn, HandsTheWholeMessageToSendmail) {
  ConfigDataDir config(kMailConfig);
  ASSERT_EQ(config.error(), "");
  std::string const dir = scratch_.path();
  auto daemon = RunTestMail(config, WithSendmail("#!/bin/sh\nprintf \"%s\\n\" \"$@\" > " + dir +
                                                 "/args\ncat > " + dir + "/message\n"));
  EXPECT_EQ(daemon->WaitExit(), 0) << daemon->Describe();
  EXPECT_EQ(daemon->Output(Stream::kStderr), "");
  EXPECT_EQ(Captured("args"), "-t\n");

  char host[100] = {};
  gethostname(host, sizeof host - 1);
  std::string const head = std::string(
                               "To: ops@example.org\nFrom: tallyd@example.org\n"
                               "Subject: [tallyd] Alert\n\n"
                               "tallyd : The service raised an alert.\r\n"
                               "Alert code : 1234\r\nHost name : ") +
                           host + "\r\n";
  std::string const message = Captured("message");
  ASSERT_EQ(message.compare(0, head.size(), head), 0) << message;
  std::string const rest = message.substr(head.size());
  ASSERT_GE(rest.size(), 3u);
  EXPECT_EQ(rest.substr(rest.size() - 3), "\n.\n");
  EXPECT_TRUE(IsTimeStamp(rest.substr(0, rest.size() - 3))) << rest;
}

TEST_F(TestMailWithStandIn, FailedSendStillEndsWithStatus0) {
  // The second stand-in quits without reading; the long recipient makes the
  // message larger than a pipe holds, so the hand-over surely breaks.
  std::string const longTo = std::string(300 * 1024, 'a') + "@example.org";
  struct Case {
    char const* name;
    std::string config;
    std::string script;
  } const cases[] = {
      {"non-zero exit", kMailConfig, "#!/bin/sh\ncat > /dev/null\nexit 3\n"},
      {"exit without reading",
       "[tallyd]\nsendmail-enabled=1\nsendmail-to=" + longTo + "\nsendmail-from=t@example.org\n",
       "#!/bin/sh\nexit 0\n"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigDataDir config(c.config);
    ASSERT_EQ(config.error(), "");
    auto daemon = RunTestMail(config, WithSendmail(c.script));
    EXPECT_EQ(daemon->WaitExit(), 0);
    EXPECT_EQ(daemon->Output(Stream::kStderr), "Mail send failed, error code 4.\n");
  }
}

}  // namespace
