// A detached tallyd writing to a real system-log daemon: busybox syslogd
// runs in a private mount namespace with an overlay over /dev, so only the
// tallyd started in that namespace sees its /dev/log.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "tests/support/daemon_process.h"
#include "tests/support/root_sandbox.h"
#include "tests/support/sockets.h"

namespace {

using namespace tally_test;

// The detached daemon outlives its parent; as a subreaper this process
// inherits it, and reaps it here (killing it first if still there).
struct Orphan {
  pid_t pid = 0;
  Orphan() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~Orphan() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  int Wait() {  // exit status, or -1 when it has not ended within 20 s
    int status = 0;
    for (int i = 0; i < 2000; ++i, std::this_thread::sleep_for(10ms)) {
      if (waitpid(pid, &status, WNOHANG) == pid) return pid = 0, WEXITSTATUS(status);
    }
    return -1;
  }
};

TEST(SystemLog, DetachedDaemonLogsUnderTheConfiguredIdentity) {
  if (access("/bin/busybox", X_OK) != 0) GTEST_SKIP() << "busybox is not installed";
  std::string const reason = OverlayUnavailableReason("/dev");
  if (!reason.empty()) GTEST_SKIP() << reason;
  TempDir scratch;
  ProcessOptions syslogd;
  syslogd.program = "/bin/busybox";
  syslogd.args = {"syslogd", "-n", "-O", "-"};  // lines to standard output
  syslogd.wrapper = OverlayWrapper("/dev", scratch.path(), "rm -f /dev/log");
  DaemonProcess log(syslogd);
  ASSERT_TRUE(log.Start());
  ASSERT_TRUE(log.WaitForLine("syslogd started")) << log.Output(Stream::kAny);

  ConfigDataDir config("[tallyd]\nsyslog-ident=tallyd-e2e\n");
  std::string const port = std::to_string(FreeTcpPort());
  ProcessOptions options;
  options.args = {"--datadir", config.name(), "--port", port};
  options.wrapper = {"nsenter", "--mount=/proc/" + std::to_string(log.pid()) + "/ns/mnt", "--"};
  Orphan daemon;
  DaemonProcess launcher(options);
  ASSERT_TRUE(launcher.Start());
  ASSERT_EQ(launcher.WaitExit(), 0) << launcher.Output(Stream::kAny);
  EXPECT_EQ(launcher.Output(Stream::kAny), "");  // detached: nothing on the console

  // The detached daemon's PID, from its first line at error priority.
  std::string const tag = "daemon.err tallyd-e2e[";
  ASSERT_TRUE(log.WaitForLine(tag)) << log.Output(Stream::kAny);
  for (auto const& line : log.Lines()) {
    if (line.find(tag) != line.npos) daemon.pid = std::atoi(&line[line.find(tag) + tag.size()]);
  }
  pid_t const pid = daemon.pid;
  ASSERT_GT(pid, 0);
  EXPECT_NE(pid, launcher.pid());
  kill(pid, SIGINT);
  EXPECT_EQ(daemon.Wait(), 52);  // 50 + the signal, once detached

  // Before detaching, the launcher's PID; the identity changes with the very
  // line that reports it.
  std::string const before = "[" + std::to_string(launcher.pid()) + "]: ";
  std::string const after = "daemon.info tallyd-e2e[" + std::to_string(pid) + "]: ";
  for (std::string const& line :
       {"daemon.info tally" + before + "Config: Loading from " + config.configPath(),
        "daemon.info tallyd-e2e" + before + "Config: [syslog-ident] = tallyd-e2e",
        tag + std::to_string(pid) + "]: tallyd service initialized",
        after + "tallyd service starting on port " + port, after + "Received signal : 2",
        after + "tallyd service stopping"}) {
    EXPECT_TRUE(log.WaitForLine(line, 10s)) << line << "\n" << log.Output(Stream::kAny);
  }
}

// A system logger that stops reading (its socket bound, never read: the
// kernel queues only a few datagrams) holds up neither requests nor the stop.
TEST(SystemLog, StalledLoggerHoldsUpNeitherRequestsNorTheStop) {
  std::string const reason = OverlayUnavailableReason("/dev");
  if (!reason.empty()) GTEST_SKIP() << reason;
  TempDir scratch;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string const path = scratch.path() + "/log";
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  UniqueFd const logger(socket(AF_UNIX, SOCK_DGRAM, 0));
  ASSERT_EQ(bind(logger.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  unsigned short const port = FreeTcpPort();
  ProcessOptions options;
  options.args = {"--standalone", "--port", std::to_string(port)};
  options.wrapper = OverlayWrapper("/dev", scratch.path(),
                                   "touch /dev/log && mount --bind '" + path + "' /dev/log");
  DaemonProcess daemon(options);
  ASSERT_TRUE(daemon.Start());
  ASSERT_TRUE(daemon.WaitForLine("ServiceStart")) << daemon.Output(Stream::kAny);
  tally::ClientOptions client;
  client.port = port;
  for (int i = 0; i < 50; ++i) {
    tally::ExchangeResult login = tally::SendCommand(client, norla::kNorlaLogin, tally::kProductId,
                                                     "stalled-" + std::to_string(i), "app");
    ASSERT_EQ(login.error, tally::ExchangeError::kNone) << i << " " << login.detail;
    EXPECT_EQ(login.reply.code, 200);
  }
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(2s), 65);
}

}  // namespace
