#include "daemon/notify_mail.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <syslog.h>

#include <fstream>
#include <sstream>

#include "tests/unit/daemon/capture.h"

namespace {

using daemon_test::CaptureLog;
using daemon_test::Logged;

std::string ReadFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ComposeNotifyMail, HeadersBodyAndEnd) {
  struct Case {
    int kind;
    float code;
    char const* subject;
    char const* bodyLines;  // between the display-name line and "Host name"
  } const cases[] = {
      {kNotifyAlert, 1234.0f, "[tallyd] Alert", "Alert code : 1234\r\n"},
      {kNotifyNotice, 1234.0f, "[tallyd] Notice", ""},
      {kNotifyCaution, -7.9f, "[tallyd] Caution", "Caution code : -7\r\n"},
      {kNotifyAlert, 99.99f, "[tallyd] Alert", "Alert code : 99\r\n"},
      {9, 5.0f, "[tallyd] Alert", "Alert code : 5\r\n"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.kind);
    std::string const mail =
        ComposeNotifyMail(c.kind, c.code, "ops@example.org, b@c", "tallyd@example.org", "host-1",
                          "2026-12-05T09:38:48+0900");
    std::string const head = std::string("To: ops@example.org, b@c\nFrom: tallyd@example.org\n") +
                             "Subject: " + c.subject + "\n\n" + "tallyd : ";
    ASSERT_EQ(mail.compare(0, head.size(), head), 0) << mail;
    std::string const tail =
        std::string("\r\n") + c.bodyLines + "Host name : host-1\r\n2026-12-05T09:38:48+0900\n.\n";
    ASSERT_GE(mail.size(), tail.size());
    EXPECT_EQ(mail.substr(mail.size() - tail.size()), tail);
    // The sentence line is the only text between the two parts.
    std::string const sentence = mail.substr(head.size(), mail.size() - head.size() - tail.size());
    EXPECT_FALSE(sentence.empty());
    EXPECT_EQ(sentence.find_first_of("\r\n"), std::string::npos);
  }
}

class DeliverMailTest : public testing::Test {
 protected:
  void SetUp() override { Logged().clear(); }
  void TearDown() override { std::remove(out_.c_str()); }
  std::string out_ = daemon_test::WriteTempFile("");
};

TEST_F(DeliverMailTest, OutcomesAndTheirLogLines) {
  std::string const small = "To: a\nFrom: b\nSubject: s\n\nbody\n.\n";
  // Larger than a pipe's buffer, so a reader that quits breaks the write.
  std::string const large = small + std::string(512 * 1024, 'x');
  struct Case {
    std::string command;
    std::string const* message;
    int result;
    std::string logLine;  // empty: nothing logged
  } const cases[] = {
      {"cat > " + out_, &small, kMailSent, ""},
      {"cat > /dev/null; exit 3", &small, kMailSendFailed, "sendmail failed, status 3"},
      {"/nonexistent-tallyd-dir/sendmail -t", &small, kMailSendFailed,
       "sendmail failed, status 127"},
      {"cat > /dev/null; kill -TERM $$", &small, kMailSendFailed, "sendmail failed, signal 15"},
      // Ends without reading: the broken pipe must neither kill this process
      // nor pass for a delivered mail, whatever the exit status.
      {"exec 0<&-; exit 0", &large, kMailSendFailed, "sendmail failed, write error 32"},
      {"exec 0<&-; exit 9", &large, kMailSendFailed, "sendmail failed, status 9"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.command);
    Logged().clear();
    EXPECT_EQ(DeliverMail(c.command.c_str(), *c.message, CaptureLog), c.result);
    if (c.logLine.empty()) {
      EXPECT_TRUE(Logged().empty());
    } else {
      ASSERT_EQ(Logged().size(), 1u);
      EXPECT_EQ(Logged()[0].priority, LOG_ERR);
      EXPECT_EQ(Logged()[0].text, c.logLine);
    }
  }
  EXPECT_EQ(ReadFile(out_), small);

  // The guard leaves neither a blocked nor a pending SIGPIPE behind.
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST_F(DeliverMailTest, ReapedBehindItsBackIsALaunchFailure) {
  // With SIGCHLD ignored the kernel reaps sendmail itself and pclose fails;
  // the daemon installs a do-nothing handler instead for this reason.
  struct sigaction ignore {
  }, saved{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &saved);
  int const result = DeliverMail("cat > /dev/null", "x\n", CaptureLog);
  sigaction(SIGCHLD, &saved, nullptr);
  EXPECT_EQ(result, kMailSendFailed);
  ASSERT_EQ(Logged().size(), 1u);
  EXPECT_EQ(Logged()[0].text, "sendmail lanuch failed, code " + std::to_string(ECHILD));
}

class TestMailCommand : public testing::Test {
 protected:
  void TearDown() override {
    g_sendmailEnabled = false;
    g_sendmailTo.clear();
    g_sendmailFrom.clear();
  }
};

TEST_F(TestMailCommand, RefusalsAndTheirStatuses) {
  struct Case {
    bool enabled;
    char const* to;
    char const* from;
    int status;
    char const* message;
  } const cases[] = {
      {false, "a", "b", 21, "Mail send disabled.\n"},
      {false, "", "", 21, "Mail send disabled.\n"},
      {true, "", "b", 22, "'To:' address is not specified.\n"},
      {true, "", "", 22, "'To:' address is not specified.\n"},
      {true, "a", "", 23, "'From:' address is not specified.\n"},
  };
  for (auto const& c : cases) {
    g_sendmailEnabled = c.enabled;
    g_sendmailTo = c.to;
    g_sendmailFrom = c.from;
    daemon_test::FdCapture err(2);
    int const status = RunTestMail();
    std::string const printed = err.Stop();
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(printed, c.message);
  }
}

TEST_F(TestMailCommand, DisabledMailSendsNothing) {
  g_sendmailTo = "a";
  g_sendmailFrom = "b";
  EXPECT_EQ(SendNotifyMail(kNotifyAlert, 1.0f), kMailDisabled);
}

}  // namespace
