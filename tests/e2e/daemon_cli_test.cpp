// The tallyd process on the real binary: command line, console echo, signals,
// exit statuses and detaching.

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/config_data_dir.h"
#include "tests/support/daemon_process.h"
#include "tests/support/private_mounts.h"

namespace {

using namespace tally_test;

std::unique_ptr<DaemonProcess> Launch(std::vector<std::string> args, std::string workDir = "") {
  ProcessOptions options;
  options.args = std::move(args);
  options.workDir = std::move(workDir);
  auto daemon = std::make_unique<DaemonProcess>(options);
  EXPECT_TRUE(daemon->Start());
  return daemon;
}

// Index of the first line containing `text`, or -1.
int IndexOf(std::vector<std::string> const& lines, std::string const& text) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

// A signal mask line of /proc/<pid>/status ("SigCgt", "ShdPnd", ...).
unsigned long long SignalMask(pid_t pid, std::string const& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1), 0, 16);
  }
  return 0;
}

bool Has(unsigned long long mask, int signal) {
  return (mask >> (signal - 1)) & 1;
}

TEST(DaemonProcessLevel, StandaloneEchoesEachLineOnItsStream) {
  TempDir dir;
  unsigned short const port = FreeTcpPort();
  std::string const absent = AbsentDataDirName();
  auto daemon = StartStandaloneDaemon(port, dir.path(), {"--datadir", absent});
  ASSERT_NE(daemon, nullptr);
  ASSERT_TRUE(daemon->WaitForLine("tallyd service initialized", 10s, Stream::kStderr));
  daemon->Signal(SIGINT);
  EXPECT_EQ(daemon->WaitExit(), 0);

  std::vector<std::string> const out = daemon->Lines(Stream::kStdout);
  std::string const inOrder[] = {
      "Config: Loading from /etc/opt/" + absent + "/tallyd.conf",
      "tallyd service starting on port " + std::to_string(port),
      "ServiceStart, Current clients : 0",
      "Received signal : 2",
      "tallyd service stopping",
      "ServiceEnd, Current clients : 0",
  };
  int previous = -1;
  for (auto const& line : inOrder) {
    int const at = IndexOf(out, line);
    ASSERT_GE(at, 0) << line << "\n" << daemon->Describe();
    EXPECT_EQ(out[at], line);
    EXPECT_GT(at, previous) << line;
    previous = at;
  }
  // Priority 3 lines only, each with exactly one newline.
  EXPECT_EQ(daemon->Output(Stream::kStderr),
            "Config: Failed to load config file.\ntallyd service initialized\n");
}

TEST(DaemonProcessLevel, StopSignalsGiveTheirExitStatus) {
  struct Case {
    int signal;
    int status;
  } const cases[] = {{SIGINT, 0}, {SIGTERM, 65}, {SIGTSTP, 70}, {SIGTTIN, 71}, {SIGTTOU, 72}};
  TempDir dir;
  for (auto const& c : cases) {
    SCOPED_TRACE(c.signal);
    auto daemon =
        StartStandaloneDaemon(FreeTcpPort(), dir.path(), {"--datadir", AbsentDataDirName()});
    ASSERT_NE(daemon, nullptr);
    ASSERT_TRUE(daemon->WaitForLine("tallyd service initialized"));
    daemon->Signal(c.signal);
    EXPECT_EQ(daemon->WaitExit(), c.status) << daemon->Describe();
    auto const out = daemon->Lines(Stream::kStdout);
    int const received = IndexOf(out, "Received signal : " + std::to_string(c.signal));
    EXPECT_GE(received, 0);
    EXPECT_GT(IndexOf(out, "tallyd service stopping"), received);
  }
}

TEST(DaemonProcessLevel, ChildEndSignalNeitherStopsNorIsLogged) {
  TempDir dir;
  auto daemon =
      StartStandaloneDaemon(FreeTcpPort(), dir.path(), {"--datadir", AbsentDataDirName()});
  ASSERT_NE(daemon, nullptr);
  ASSERT_TRUE(daemon->WaitForLine("tallyd service initialized"));
  pid_t const pid = daemon->pid();
  // Caught by a handler (so pclose can still reap), not ignored.
  EXPECT_TRUE(Has(SignalMask(pid, "SigCgt"), SIGCHLD));
  EXPECT_FALSE(Has(SignalMask(pid, "SigIgn"), SIGCHLD));
  for (int s : {SIGTERM, SIGINT, SIGTTOU, SIGTTIN, SIGTSTP}) {
    EXPECT_TRUE(Has(SignalMask(pid, "SigCgt"), s)) << s;
  }
  EXPECT_FALSE(Has(SignalMask(pid, "SigCgt"), SIGHUP));

  daemon->Signal(SIGCHLD);
  auto const deadline = std::chrono::steady_clock::now() + 10s;
  while (Has(SignalMask(pid, "ShdPnd"), SIGCHLD) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_FALSE(Has(SignalMask(pid, "ShdPnd"), SIGCHLD)) << "SIGCHLD never delivered";
  EXPECT_TRUE(daemon->Running());

  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(), 65);
  EXPECT_EQ(IndexOf(daemon->Lines(), "Received signal : " + std::to_string(SIGCHLD)), -1);
}

TEST(DaemonProcessLevel, RefusedDataDirEndsBeforeAnyConfigLine) {
  std::vector<std::string> const values[] = {{"conf.d"}, {"a/b"}, {"ok", "--datadir", "../x"}};
  for (auto const& value : values) {
    std::vector<std::string> args{"--standalone", "--datadir"};
    args.insert(args.end(), value.begin(), value.end());
    args.insert(args.end(), {"--port", std::to_string(FreeTcpPort())});
    auto daemon = Launch(args);
    EXPECT_EQ(daemon->WaitExit(), 1);
    EXPECT_EQ(daemon->Output(Stream::kStderr), "--datadir : can't use '.' or '/'.\n");
    EXPECT_EQ(daemon->Output(Stream::kStdout), "");  // echo was on: nothing was loaded
  }
}

TEST(DaemonProcessLevel, PortArgumentOnTheRealBinary) {
  TempDir dir;
  unsigned short const first = FreeTcpPort();
  unsigned short const second = FreeTcpPort();
  std::vector<std::string> const portArgs[] = {
      {"--port", std::to_string(first), "--port", std::to_string(second)},
      {"--port", std::to_string(first) + "ab"},
  };
  for (auto const& ports : portArgs) {
    std::vector<std::string> args{"--standalone", "--datadir", AbsentDataDirName()};
    args.insert(args.end(), ports.begin(), ports.end());
    auto daemon = Launch(args, dir.path());
    ASSERT_TRUE(daemon->WaitForLine("tallyd service initialized")) << daemon->Describe();
    EXPECT_TRUE(
        daemon->WaitForLine("tallyd service starting on port " + std::to_string(first), 0s));
    EXPECT_TRUE(CanConnect(first));
    daemon->Signal(SIGINT);
    EXPECT_EQ(daemon->WaitExit(), 0);
  }
}

TEST(DaemonProcessLevel, ServiceThatCannotListenEndsWithStatus8) {
  // Held the way the daemon binds: dual-stack wildcard.
  int const holder = socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  int off = 0;
  setsockopt(holder, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_any;
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  std::string const busy = std::to_string(ntohs(address.sin6_port));

  // 65536 would bind port 0, a random port the start line does not name.
  for (std::string const& port : {busy, std::string("65536")}) {
    SCOPED_TRACE(port);
    auto daemon = Launch({"--standalone", "--port", port, "--datadir", AbsentDataDirName()});
    EXPECT_EQ(daemon->WaitExit(), 8);
    EXPECT_TRUE(
        daemon->WaitForLine("tallyd service initialization failed, code 5012", 0s, Stream::kStderr))
        << daemon->Describe();
    EXPECT_EQ(IndexOf(daemon->Lines(), "tallyd service initialized"), -1);
  }
  close(holder);
}

TEST(DaemonProcessLevel, LaterStandaloneEchoesOnlyAfterTheConfiguration) {
  // --test-mail anywhere but first is ignored as well.
  TempDir dir;
  unsigned short const port = FreeTcpPort();
  auto daemon = Launch({"--port", std::to_string(port), "--test-mail", "--datadir",
                        AbsentDataDirName(), "--standalone"},
                       dir.path());
  ASSERT_TRUE(daemon->WaitForLine("ServiceStart")) << daemon->Describe();
  EXPECT_EQ(IndexOf(daemon->Lines(), "Config:"), -1);
  EXPECT_TRUE(daemon->WaitForLine("tallyd service starting on port " + std::to_string(port), 0s));
  daemon->Signal(SIGINT);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

// The detached daemon becomes a child of this process (a subreaper), so its
// exit status can be collected.
class DetachedDaemon : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
  void TearDown() override {
    if (detached_ > 0) {
      kill(detached_, SIGKILL);
      waitpid(detached_, nullptr, 0);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }

  // Our child named tallyd other than `except`; 0 when none appears in time.
  static pid_t FindChildTallyd(pid_t except) {
    auto const deadline = std::chrono::steady_clock::now() + 10s;
    do {
      DIR* proc = opendir("/proc");
      for (dirent* entry; proc != nullptr && (entry = readdir(proc)) != nullptr;) {
        pid_t const pid = std::atoi(entry->d_name);
        if (pid <= 0 || pid == except) continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        auto const close = text.rfind(')');
        if (close == std::string::npos || text.find("(tallyd)") == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 2));
        char state;
        pid_t ppid;
        if (rest >> state >> ppid && ppid == getpid()) {
          closedir(proc);
          return pid;
        }
      }
      if (proc != nullptr) closedir(proc);
      std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
  }

  // Exit status of a child that is not a DaemonProcess; -1 on time-out.
  static int WaitChild(pid_t pid) {
    auto const deadline = std::chrono::steady_clock::now() + 20s;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(10ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t detached_ = 0;
};

TEST_F(DetachedDaemon, DetachesAndEndsWith50PlusSignal) {
  for (int const signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    unsigned short const port = FreeTcpPort();
    auto launcher = Launch({"--port", std::to_string(port), "--datadir", AbsentDataDirName()});
    EXPECT_EQ(launcher->WaitExit(), 0);
    EXPECT_EQ(launcher->Output(Stream::kAny), "");  // logs only to the system log
    detached_ = FindChildTallyd(launcher->pid());
    ASSERT_GT(detached_, 0);
    EXPECT_EQ(getsid(detached_), detached_);
    char cwd[64] = {};
    readlink(("/proc/" + std::to_string(detached_) + "/cwd").c_str(), cwd, sizeof cwd - 1);
    EXPECT_STREQ(cwd, "/");

    auto const deadline = std::chrono::steady_clock::now() + 10s;
    while (!CanConnect(port) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(CanConnect(port));
    kill(detached_, signal);
    EXPECT_EQ(WaitChild(detached_), 50 + signal);
    detached_ = 0;
  }
}

TEST(DaemonProcessLevel, BinaryHoldsNoPlainConfigFileName) {
  std::string const binary = ReadFileText(TALLYD_PATH);
  ASSERT_FALSE(binary.empty());
  EXPECT_EQ(binary.find("tallyd.conf"), std::string::npos);
}

}  // namespace
