// --test-mail on the real binary, with a configuration under /etc/opt. A
// stand-in for /usr/lib/sendmail is laid over /usr/lib in a private mount
// namespace, so nobody else sees it and no mail leaves the machine.

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/daemon_process.h"
#include "tests/support/root_sandbox.h"

namespace {

using namespace tally_test;

std::string const kMailConfig =
    "[tallyd]\nsendmail-enabled=1\nsendmail-to=ops@example.org\n"
    "sendmail-from=tallyd@example.org\n";

// Runs `tallyd --test-mail` to its end, with `sendmail` (a script) laid
// over /usr/lib/sendmail unless empty.
std::unique_ptr<DaemonProcess> TestMail(std::string const& config, std::string const& sendmail,
                                        TempDir const& scratch) {
  ConfigDataDir dir(config);
  ProcessOptions options;
  options.args = {"--test-mail", "--datadir", dir.name()};
  if (!sendmail.empty()) {
    options.wrapper = OverlayWrapper(
        "/usr/lib", scratch.path() + "/overlay",
        "printf '%s' '" + sendmail + "' > /usr/lib/sendmail && chmod 755 /usr/lib/sendmail");
  }
  auto daemon = std::make_unique<DaemonProcess>(options);
  EXPECT_TRUE(daemon->Start());
  daemon->WaitExit();
  return daemon;
}

TEST(TestMail, RefusedWhenMailIsOff) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to write under /etc/opt";
  TempDir scratch;
  // A missing address switches mail off while loading: 21, not 22.
  for (char const* config : {"", "[tallyd]\nsendmail-enabled=1\nsendmail-from=c@d\n"}) {
    auto daemon = TestMail(config, "", scratch);
    EXPECT_EQ(daemon->WaitExit(), 21);
    EXPECT_EQ(daemon->Output(Stream::kAny), "Mail send disabled.\n");
  }
}

TEST(TestMail, HandsTheWholeMessageToSendmail) {
  std::string const reason = OverlayUnavailableReason("/usr/lib");
  if (!reason.empty()) GTEST_SKIP() << reason;
  TempDir scratch;
  std::string const dir = scratch.path();
  auto daemon =
      TestMail(kMailConfig,
               "#!/bin/sh\necho \"$@\" > " + dir + "/args\ncat > " + dir + "/message\n", scratch);
  EXPECT_EQ(daemon->WaitExit(), 0);
  EXPECT_EQ(daemon->Output(Stream::kAny), "");
  EXPECT_EQ(ReadFileText(dir + "/args"), "-t\n");
  char host[100] = {};
  gethostname(host, sizeof host - 1);
  std::string const message = ReadFileText(dir + "/message");
  std::string const head =
      "To: ops@example.org\nFrom: tallyd@example.org\nSubject: [tallyd] Alert\n\n"
      "tallyd : The service raised an alert.\r\nAlert code : 1234\r\nHost name : " +
      std::string(host) + "\r\n";
  ASSERT_EQ(message.substr(0, head.size()), head);
  // Then the local time, as in "2026-12-05T09:38:48+0900", and the end.
  int field[7], end = 0;
  char sign = 0;
  EXPECT_EQ(
      std::sscanf(message.c_str() + head.size(), "%4d-%2d-%2dT%2d:%2d:%2d%c%4d%n", &field[0],
                  &field[1], &field[2], &field[3], &field[4], &field[5], &sign, &field[6], &end),
      8);
  EXPECT_TRUE(end == 24 && (sign == '+' || sign == '-')) << message;
  EXPECT_EQ(message.substr(head.size() + end), "\n.\n");
}

TEST(TestMail, FailedSendStillEndsWithStatus0) {
  std::string const reason = OverlayUnavailableReason("/usr/lib");
  if (!reason.empty()) GTEST_SKIP() << reason;
  // The second stand-in quits without reading; the long recipient makes the
  // message larger than a pipe holds, so the hand-over surely breaks.
  std::string const longTo =
      "[tallyd]\nsendmail-enabled=1\nsendmail-from=t@example.org\n"
      "sendmail-to=" +
      std::string(300 * 1024, 'a') + "\n";
  std::pair<std::string, char const*> const cases[] = {
      {kMailConfig, "#!/bin/sh\ncat > /dev/null\nexit 3\n"},
      {longTo, "#!/bin/sh\nexit 0\n"},
  };
  TempDir scratch;
  for (auto const& [config, sendmail] : cases) {
    auto daemon = TestMail(config, sendmail, scratch);
    EXPECT_EQ(daemon->WaitExit(), 0) << sendmail;
    EXPECT_EQ(daemon->Output(Stream::kAny), "Mail send failed, error code 4.\n");
  }
}

}  // namespace
