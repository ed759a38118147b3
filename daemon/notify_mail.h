#pragma once

// Notification mail handed to the system's sendmail program, and the
// --test-mail command built on it.

#include <string>

// Mail settings, filled by the configuration load before any mail can be sent
// and read-only afterwards. Mail is on only with both addresses present.
extern bool g_sendmailEnabled;
extern std::string g_sendmailTo;
extern std::string g_sendmailFrom;

enum NotifyKind : int { kNotifyAlert = 0, kNotifyNotice = 1, kNotifyCaution = 2 };

enum NotifyResult : int {
  kMailSent = 0,         // handed over and sendmail ended with status 0
  kMailDisabled = 1,     // g_sendmailEnabled is false; nothing else happened
  kMailNoHostName = 2,   // gethostname failed
  kMailNoTimeStamp = 3,  // the time stamp could not be formatted
  kMailSendFailed = 4,   // sendmail not started, not waited for, failed, or
                         // did not take the whole message
};

constexpr char kSendmailCommand[] = "/usr/lib/sendmail -t";

using MailLogFunc = void (*)(int priority, char const* format, ...);

// Sends one mail of `kind` (kinds 0 and 2 carry `code`, truncated toward
// zero). Blocks until sendmail has ended. Failures are logged at LOG_ERR
// through mysyslog, except results 1 to 3, which are silent.
int SendNotifyMail(int kind, float code);

// The whole message as handed to sendmail: To, From and Subject headers, an
// empty line, the body (CR LF line breaks, time stamp last), "\n.\n".
std::string ComposeNotifyMail(int kind, float code, std::string const& to, std::string const& from,
                              std::string const& hostName, std::string const& timeStamp);

// Runs `command` with popen, writes `message` to it and closes it. A command
// that exits without reading its input is a failure like a non-zero status:
// the broken pipe never raises SIGPIPE in this process and is never taken as
// success. Returns kMailSent or kMailSendFailed, logging the failure.
int DeliverMail(char const* command, std::string const& message, MailLogFunc log);

// The --test-mail command: checks the settings, sends an alert with code 1234
// and reports on standard error. Returns the process exit status (21, 22, 23,
// or 0 whether or not the mail went out).
int RunTestMail();
