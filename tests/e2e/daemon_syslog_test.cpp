// A detached tallyd writing to a real system-log daemon. busybox syslogd runs
// in a private mount namespace with an overlay over /dev, so its /dev/log is
// seen only by the tallyd started there, and writes to a file of the test.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "tests/support/config_data_dir.h"
#include "tests/support/daemon_process.h"
#include "tests/support/private_mounts.h"

namespace {

using namespace tally_test;

constexpr char kIdent[] = "tallyd-e2e-ident";

// Exit status of a child that is not a DaemonProcess; -1 on time-out.
int WaitChild(pid_t pid, std::chrono::seconds timeout = 20s) {
  auto const deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(10ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class SystemLog : public testing::Test {
 protected:
  void SetUp() override {
    if (access("/bin/busybox", X_OK) != 0) GTEST_SKIP() << "busybox is not installed";
    std::string const reason = OverlayUnavailableReason("/dev");
    if (!reason.empty()) GTEST_SKIP() << reason;
    // Both the detached daemon and syslogd outlive their parent; as a
    // subreaper this process inherits them and can reap them.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  }
  void TearDown() override {
    for (pid_t pid : {daemonPid_, syslogdPid_}) {
      if (pid > 0) {
        kill(pid, SIGKILL);
        WaitChild(pid);
      }
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }

  // Starts syslogd on a private /dev/log, then runs tallyd in the same
  // namespace once the socket is there.
  std::vector<std::string> WithSyslogd() {
    std::string const dir = scratch_.path();
    std::string const setup =
        OverlayCommand("/dev", dir + "/overlay") + "\nrm -f /dev/log\n" +
        "busybox syslogd -n -O '" + dir + "/messages' </dev/null >/dev/null 2>&1 &\n" +
        "echo $! > '" + dir + "/syslogd.pid'\n" +
        "i=0; while [ ! -S /dev/log ]; do i=$((i+1)); [ $i -gt 500 ] && exit 98; sleep 0.01; done";
    return PrivateMountWrapper(setup);
  }

  std::string Log() const { return ReadFileText(scratch_.path() + "/messages"); }

  TempDir scratch_;
  pid_t daemonPid_ = 0;
  pid_t syslogdPid_ = 0;
};

TEST_F(SystemLog, DetachedDaemonLogsUnderTheConfiguredIdentity) {
  ConfigDataDir config(std::string("[tallyd]\nsyslog-ident=") + kIdent + "\n");
  ASSERT_EQ(config.error(), "");
  unsigned short const port = FreeTcpPort();
  ProcessOptions options;
  options.args = {"--datadir", config.name(), "--port", std::to_string(port)};
  options.wrapper = WithSyslogd();
  DaemonProcess launcher(options);
  ASSERT_TRUE(launcher.Start());
  ASSERT_EQ(launcher.WaitExit(), 0) << launcher.Describe();
  syslogdPid_ = std::atoi(ReadFileText(scratch_.path() + "/syslogd.pid").c_str());
  std::string const messages = scratch_.path() + "/messages";

  // Logged before detaching, by the launcher's PID: the identity changes with
  // the very line that reports it.
  std::string const before = std::to_string(launcher.pid());
  EXPECT_TRUE(WaitForFileText(
      messages, "daemon.info tally[" + before + "]: Config: Loading from " + config.configPath(),
      10s))
      << Log();
  EXPECT_TRUE(WaitForFileText(
      messages,
      std::string("daemon.info ") + kIdent + "[" + before + "]: Config: [syslog-ident] = " + kIdent,
      10s))
      << Log();

  // After detaching: a new PID, and the initialized line at error priority.
  ASSERT_TRUE(WaitForFileText(messages, "tallyd service initialized", 10s)) << Log();
  std::string const log = Log();
  std::string const tag = std::string("daemon.err ") + kIdent + "[";
  auto const end = log.find("]: tallyd service initialized");
  auto const start = log.rfind(tag, end);
  ASSERT_TRUE(end != std::string::npos && start != std::string::npos) << log;
  std::string const pid = log.substr(start + tag.size(), end - start - tag.size());
  daemonPid_ = std::atoi(pid.c_str());
  ASSERT_GT(daemonPid_, 0) << log;
  EXPECT_NE(daemonPid_, launcher.pid());
  EXPECT_NE(log.find(std::string("daemon.info ") + kIdent + "[" + std::to_string(daemonPid_) +
                     "]: tallyd service starting on port " + std::to_string(port)),
            std::string::npos)
      << log;

  ASSERT_EQ(kill(daemonPid_, SIGTERM), 0);
  EXPECT_EQ(WaitChild(daemonPid_), 65);
  daemonPid_ = 0;
  std::string const prefix = std::string("daemon.info ") + kIdent + "[" + pid + "]: ";
  for (char const* line : {"Received signal : 15", "tallyd service stopping"}) {
    EXPECT_TRUE(WaitForFileText(messages, prefix + line, 10s)) << Log();
  }
}

}  // namespace
