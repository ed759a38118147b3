#include "daemon/notify_mail.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <tuple>

#include "tests/unit/daemon/capture.h"

namespace {

using daemon_test::logged;

TEST(NotifyMail, ComposedBytes) {
  // Kind, code, subject, the body lines before "Host name".
  std::tuple<int, float, char const*, char const*> const cases[] = {
      {kNotifyAlert, 1234.0f, "Alert", "The service raised an alert.\r\nAlert code : 1234"},
      {kNotifyNotice, 1234.0f, "Notice", "The service sent a notice."},
      {kNotifyCaution, -7.9f, "Caution", "The service issued a caution.\r\nCaution code : -7"},
      {9, 5.0f, "Alert", "The service raised an alert.\r\nAlert code : 5"},  // unknown kind
  };
  for (auto const& [kind, code, subject, sentence] : cases) {
    EXPECT_EQ(
        ComposeNotifyMail(kind, code, "ops@example.org, b@c", "tallyd@example.org", "host-1",
                          "2026-12-05T09:38:48+0900"),
        std::string("To: ops@example.org, b@c\nFrom: tallyd@example.org\nSubject: [tallyd] ") +
            subject + "\n\ntallyd : " + sentence +
            "\r\nHost name : host-1\r\n2026-12-05T09:38:48+0900\n.\n");
  }
}

TEST(NotifyMail, DeliveryOutcomesAndTheirLogLines) {
  std::string const out = daemon_test::WriteScratch("");
  std::string const small = "To: a\nFrom: b\nSubject: s\n\nbody\n.\n";
  // Larger than a pipe's buffer, so a reader that quits breaks the write.
  std::string const large = small + std::string(512 * 1024, 'x');
  // Command, message, whether SIGCHLD is ignored (the kernel reaps sendmail,
  // so pclose cannot), the log lines expected.
  std::tuple<std::string, std::string, bool, std::vector<std::string>> const cases[] = {
      {"cat > " + out, small, false, {}},
      {"cat > /dev/null; exit 3", small, false, {"3 sendmail failed, status 3"}},
      {"/nonexistent-tallyd-dir/sendmail -t", small, false, {"3 sendmail failed, status 127"}},
      {"cat > /dev/null; kill -TERM $$", small, false, {"3 sendmail failed, signal 15"}},
      // Ends without reading: the broken pipe must neither kill this process
      // nor pass for a delivered mail, whatever the exit status.
      {"exec 0<&-; exit 0", large, false, {"3 sendmail failed, write error 32"}},
      {"exec 0<&-; exit 9", large, false, {"3 sendmail failed, status 9"}},
      {"cat > /dev/null", small, true, {"3 sendmail lanuch failed, code 10"}},  // ECHILD
  };
  for (auto const& [command, message, ignoreChild, log] : cases) {
    SCOPED_TRACE(command);
    logged = {};
    signal(SIGCHLD, ignoreChild ? SIG_IGN : SIG_DFL);
    int const result = DeliverMail(command.c_str(), message, daemon_test::CaptureLog);
    signal(SIGCHLD, SIG_DFL);
    EXPECT_EQ(result, log.empty() ? kMailSent : kMailSendFailed);
    EXPECT_EQ(logged.lines, log);
  }
  std::ifstream written(out);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), small);
  // The guard leaves SIGPIPE neither blocked nor pending.
  sigset_t mask, pending;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&mask, SIGPIPE) || sigismember(&pending, SIGPIPE));
}

TEST(NotifyMail, TestMailRefusals) {
  // Enabled, to, from; the exit status and message.
  std::tuple<bool, char const*, char const*, int, char const*> const cases[] = {
      {false, "a", "b", 21, "Mail send disabled.\n"},
      {true, "", "", 22, "'To:' address is not specified.\n"},
      {true, "a", "", 23, "'From:' address is not specified.\n"},
  };
  for (auto const& [enabled, to, from, status, message] : cases) {
    g_sendmailEnabled = enabled, g_sendmailTo = to, g_sendmailFrom = from;
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunTestMail(), status);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
  }
  g_sendmailEnabled = false, g_sendmailFrom = "b";
  EXPECT_EQ(SendNotifyMail(kNotifyAlert, 1.0f), kMailDisabled);  // both addresses set
  g_sendmailTo = g_sendmailFrom = "";
}

}  // namespace
