// --test-mail on the real binary, with a configuration under /etc/opt. A
// stand-in for /usr/lib/sendmail is laid over /usr/lib in a private mount
// namespace, so nobody else sees it and no mail leaves the machine. Delivery
// outcomes are checked on DeliverMail; here the exit status and the message.

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/daemon_process.h"
#include "tests/support/root_sandbox.h"

namespace {

using namespace tally_test;

TEST(TestMail, StatusOutputAndTheMessageHandedToSendmail) {
  std::string const reason = OverlayUnavailableReason("/usr/lib");
  if (!reason.empty()) GTEST_SKIP() << reason;
  TempDir scratch;
  std::string const dir = scratch.path(), on =
      "[tallyd]\nsendmail-enabled=1\nsendmail-to=ops@example.org\n"
      "sendmail-from=tallyd@example.org\n";
  // The configuration, the stand-in, the exit status and the output.
  std::tuple<std::string, std::string, int, char const*> const cases[] = {
      {"", "", 21, "Mail send disabled.\n"},
      {on, "#!/bin/sh\ncat > /dev/null\nexit 3\n", 0, "Mail send failed, error code 4.\n"},
      {on, "#!/bin/sh\necho \"$@\" > " + dir + "/args\ncat > " + dir + "/message\n", 0, ""},
  };
  for (auto const& [config, sendmail, status, output] : cases) {
    ConfigDataDir data(config);
    ProcessOptions options;
    options.args = {"--test-mail", "--datadir", data.name()};
    if (!sendmail.empty()) {
      options.wrapper = OverlayWrapper(
          "/usr/lib", dir + "/overlay",
          "printf '%s' '" + sendmail + "' > /usr/lib/sendmail && chmod 755 /usr/lib/sendmail");
    }
    DaemonProcess daemon(options);
    ASSERT_TRUE(daemon.Start());
    EXPECT_EQ(daemon.WaitExit(), status) << sendmail;
    EXPECT_EQ(daemon.Output(Stream::kAny), output) << sendmail;
  }
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

}  // namespace
