#include "daemon/notify_mail.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <climits>
#include <cmath>
#include <cstdio>

#include "daemon/process_log.h"

bool g_sendmailEnabled = false;
std::string g_sendmailTo;
std::string g_sendmailFrom;

namespace {

constexpr char kMailDisplayName[] = "tallyd";

struct MailTemplate {
  char const* subject;
  char const* body;  // %1% display name, %2% host, %3% time stamp, %4% code
  bool carriesCode;
};

constexpr MailTemplate kTemplates[] = {
    {"[tallyd] Alert",
     "%1% : The service raised an alert.\r\nAlert code : %4%\r\nHost name : %2%\r\n%3%", true},
    {"[tallyd] Notice", "%1% : The service sent a notice.\r\nHost name : %2%\r\n%3%", false},
    {"[tallyd] Caution",
     "%1% : The service issued a caution.\r\nCaution code : %4%\r\nHost name : %2%\r\n%3%", true},
};

// Kinds outside the table are sent as alerts, so a wrong kind still carries
// its code to the administrator.
MailTemplate const& TemplateOf(int kind) {
  if (kind < 0 || kind >= static_cast<int>(sizeof kTemplates / sizeof kTemplates[0])) {
    return kTemplates[kNotifyAlert];
  }
  return kTemplates[kind];
}

// Truncation toward zero; values an int cannot hold are clamped instead of
// being undefined.
int CodeAsInt(float code) {
  if (std::isnan(code)) return 0;
  if (code >= static_cast<float>(INT_MAX)) return INT_MAX;
  if (code <= static_cast<float>(INT_MIN)) return INT_MIN;
  return static_cast<int>(code);
}

// Keeps a SIGPIPE raised by this thread's writes from killing the process:
// blocks it on this thread only (the process's dispositions, and so those
// inherited by children, stay as they are) and discards one raised while the
// guard was up. Create it after popen so sendmail does not inherit the mask.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipeOnly_);
    sigaddset(&pipeOnly_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly_, &saved_);
    sigset_t pending;
    sigpending(&pending);
    pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeGuard() {
    sigset_t pending;
    sigpending(&pending);
    if (!pendingBefore_ && sigismember(&pending, SIGPIPE) == 1) {
      timespec const now{0, 0};
      while (sigtimedwait(&pipeOnly_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  SigpipeGuard(SigpipeGuard const&) = delete;
  SigpipeGuard& operator=(SigpipeGuard const&) = delete;

 private:
  sigset_t pipeOnly_;
  sigset_t saved_;
  bool pendingBefore_ = false;
};

// 0 when every byte was written, else the errno of the failed write.
int WriteAll(int fd, std::string const& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t const n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

std::string ComposeNotifyMail(int kind, float code, std::string const& to, std::string const& from,
                              std::string const& hostName, std::string const& timeStamp) {
  MailTemplate const& mail = TemplateOf(kind);
  boost::format body(mail.body);
  body % kMailDisplayName % hostName % timeStamp;
  if (mail.carriesCode) body % CodeAsInt(code);

  std::string message;
  message += "To: " + to + "\n";
  message += "From: " + from + "\n";
  message += std::string("Subject: ") + mail.subject + "\n\n";
  message += body.str();
  message += "\n.\n";
  return message;
}

int DeliverMail(char const* command, std::string const& message, MailLogFunc log) {
  std::FILE* pipe = ::popen(command, "w");
  if (pipe == nullptr) {
    log(LOG_ERR, "Failed to invoke sendmail");
    return kMailSendFailed;
  }
  int writeError = 0;
  int status = 0;
  int closeError = 0;
  {
    SigpipeGuard guard;
    // Unbuffered writes on the descriptor: stdio would defer them into
    // pclose, where a broken pipe could no longer be told apart.
    writeError = WriteAll(fileno(pipe), message);
    status = ::pclose(pipe);
    closeError = errno;
  }
  if (status == -1) {
    log(LOG_ERR, "sendmail lanuch failed, code %d", closeError);
    return kMailSendFailed;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    log(LOG_ERR, "sendmail failed, status %d", WEXITSTATUS(status));
    return kMailSendFailed;
  }
  if (WIFSIGNALED(status)) {
    log(LOG_ERR, "sendmail failed, signal %d", WTERMSIG(status));
    return kMailSendFailed;
  }
  if (writeError != 0) {
    // sendmail ended well but did not take the whole message.
    log(LOG_ERR, "sendmail failed, write error %d", writeError);
    return kMailSendFailed;
  }
  return kMailSent;
}

int SendNotifyMail(int kind, float code) {
  if (!g_sendmailEnabled) return kMailDisabled;

  char hostName[100] = {};
  // One byte short of the buffer, so the name always stays terminated.
  if (::gethostname(hostName, sizeof hostName - 1) != 0) return kMailNoHostName;

  time_t const now = ::time(nullptr);
  struct tm local {};
  char timeStamp[100] = {};
  if (::localtime_r(&now, &local) == nullptr ||
      std::strftime(timeStamp, sizeof timeStamp, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) {
    return kMailNoTimeStamp;
  }

  std::string message;
  try {
    message = ComposeNotifyMail(kind, code, g_sendmailTo, g_sendmailFrom, hostName, timeStamp);
  } catch (std::exception const& e) {
    mysyslog(LOG_ERR, "Failed to compose the notification mail: %s", e.what());
    return kMailSendFailed;
  }
  return DeliverMail(kSendmailCommand, message, mysyslog);
}

int RunTestMail() {
  if (!g_sendmailEnabled) {
    errprintf("Mail send disabled.\n");
    return 21;
  }
  if (g_sendmailTo.empty()) {
    errprintf("'To:' address is not specified.\n");
    return 22;
  }
  if (g_sendmailFrom.empty()) {
    errprintf("'From:' address is not specified.\n");
    return 23;
  }
  int const result = SendNotifyMail(kNotifyAlert, 1234.0f);
  if (result != kMailSent) errprintf("Mail send failed, error code %d.\n", result);
  return 0;
}
