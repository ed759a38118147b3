// The tallyd process on the real binary: console echo, signals, exit
// statuses and connection bounds; detaching is checked with the system log.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "tests/support/daemon_process.h"
#include "tests/support/root_sandbox.h"
#include "tests/support/sockets.h"

namespace {

using namespace tally_test;

std::string const kAbsent = "tallyd-absent-" + std::to_string(getpid());  // no such data dir

std::unique_ptr<DaemonProcess> Launch(std::vector<std::string> args) {
  ProcessOptions options;
  options.args = std::move(args);
  options.workDir = "/";  // no access lists
  auto daemon = std::make_unique<DaemonProcess>(options);
  EXPECT_TRUE(daemon->Start());
  return daemon;
}

// Without the admin interface's line, which says "on" or, when a parallel
// test holds its default port, "off".
std::vector<std::string> WithoutAdminLines(std::vector<std::string> lines) {
  lines.erase(std::remove_if(
                  lines.begin(), lines.end(),
                  [](std::string const& line) { return line.rfind("Admin interface ", 0) == 0; }),
              lines.end());
  return lines;
}

// Whether `signal` is set in a mask line of /proc/<pid>/status.
bool InMask(pid_t pid, std::string const& field, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) {
      return (std::stoull(line.substr(field.size() + 1), nullptr, 16) >> (signal - 1)) & 1;
    }
  }
  return false;
}

// SIGCHLD gets a do-nothing handler: ignoring it would let the kernel reap
// sendmail before pclose could; it stops nothing and writes no line.
TEST(DaemonProcessLevel, EchoAndExitStatusPerStopSignal) {
  // "P" stands for a free port. Only --standalone first echoes the
  // configuration load; --test-mail anywhere else is ignored.
  std::tuple<int, int, std::vector<std::string>> const cases[] = {
      {SIGINT, 0, {"--standalone", "--port", "P"}},
      {SIGTERM, 65, {"--standalone", "--port", "P", "--port", "1"}},
      {SIGTSTP, 70, {"--standalone", "--port", "Pab"}},
      {SIGTTIN, 71, {"--port", "P", "--test-mail", "--standalone"}},
      {SIGTTOU, 72, {"--standalone", "--port", "P"}},
  };
  for (auto [signal, status, args] : cases) {
    SCOPED_TRACE(signal);
    std::string const port = std::to_string(FreeTcpPort());
    for (auto& arg : args) {
      if (arg[0] == 'P') arg = port + arg.substr(1);
    }
    args.insert(args.end(), {"--datadir", kAbsent});
    auto daemon = Launch(args);
    ASSERT_TRUE(daemon->WaitForLine("ServiceStart") &&
                daemon->WaitForLine("tallyd service initialized"))
        << daemon->Output(Stream::kAny);
    EXPECT_TRUE(InMask(daemon->pid(), "SigCgt", SIGCHLD));
    EXPECT_FALSE(InMask(daemon->pid(), "SigIgn", SIGCHLD));
    daemon->Signal(SIGCHLD);
    for (int i = 0; i < 1000 && InMask(daemon->pid(), "ShdPnd", SIGCHLD); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    daemon->Signal(signal);
    EXPECT_EQ(daemon->WaitExit(), status);
    bool const echoed = args[0] == "--standalone";
    std::vector<std::string> out{"tallyd service starting on port " + port,
                                 "ServiceStart, Current clients : 0",
                                 "Received signal : " + std::to_string(signal),
                                 "tallyd service stopping", "ServiceEnd, Current clients : 0"};
    if (echoed)
      out.insert(out.begin(), "Config: Loading from /etc/opt/" + kAbsent + "/tallyd.conf");
    EXPECT_EQ(WithoutAdminLines(daemon->Lines(Stream::kStdout)), out);
    // Priority 3 only.
    std::vector<std::string> err{"tallyd service initialized"};
    if (echoed) err.insert(err.begin(), "Config: Failed to load config file.");
    EXPECT_EQ(WithoutAdminLines(daemon->Lines(Stream::kStderr)), err);
  }
}

TEST(DaemonProcessLevel, StartFailuresAndTheirStatus) {
  std::string const busy = std::to_string(FreeTcpPort());
  auto holder = Launch({"--standalone", "--port", busy, "--datadir", kAbsent});
  ASSERT_TRUE(holder->WaitForLine("tallyd service initialized"));
  std::string const config = "Config: Loading from /etc/opt/" + kAbsent + "/tallyd.conf\n";
  std::string const failed =
      "Config: Failed to load config file.\ntallyd service initialization failed, code 5012\n";
  // Extra arguments; exit status, standard output and error.
  std::tuple<std::vector<std::string>, int, std::string, std::string> const cases[] = {
      {{"--datadir", "a/b"}, 1, "", "--datadir : can't use '.' or '/'.\n"},
      {{"--port", busy},
       8,
       config + "tallyd service starting on port " + busy +
           "\nSocket open failed / Exception: bind: Address already in use\n",
       failed},
      // Port 0 in its low 16 bits: a random port the start line would not name.
      {{"--port", "65536"},
       8,
       config + "tallyd service starting on port 65536\nSocket open failed / Exception: port " +
           "65536 has 0 in its low 16 bits; no fixed port to listen on\n",
       failed},
  };
  for (auto const& [extra, status, out, err] : cases) {
    std::vector<std::string> args{"--standalone", "--datadir", kAbsent};
    args.insert(args.end(), extra.begin(), extra.end());
    auto daemon = Launch(args);
    EXPECT_EQ(daemon->WaitExit(), status) << testing::PrintToString(args);
    EXPECT_EQ(daemon->Output(Stream::kStdout), out);
    EXPECT_EQ(daemon->Output(Stream::kStderr), err);
  }
}

// Also the per-address cap: a connection over it is closed at once, without data.
TEST(DaemonProcessLevel, ConfigurationFromTheDataDirectory) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to write under /etc/opt";
  ConfigDataDir config(
      "\xEF\xBB\xBF[tallyd]\r\nsyslog-ident = e2e\r\nsendmail-enabled = -1\r\n"
      "sendmail-to = a@b\r\nsendmail-from = c@d\r\nmax-connections-per-address = 2\r\n"
      "admin-listen =\r\n");
  unsigned short const port = FreeTcpPort();
  auto daemon =
      Launch({"--standalone", "--datadir", config.name(), "--port", std::to_string(port)});
  ASSERT_TRUE(daemon->WaitForLine("tallyd service initialized"));
  boost::asio::io_context io;
  auto first = ConnectFrom(io, "127.0.0.2", port), second = ConnectFrom(io, "127.0.0.2", port),
       extra = ConnectFrom(io, "127.0.0.2", port);
  unsigned char byte;
  EXPECT_EQ(recv(extra->native_handle(), &byte, 1, 0), 0);               // closed, not timed out
  EXPECT_EQ(recv(second->native_handle(), &byte, 1, MSG_DONTWAIT), -1);  // still open
  daemon->Signal(SIGINT);
  EXPECT_EQ(daemon->WaitExit(), 0);
  auto const out = daemon->Lines(Stream::kStdout);
  EXPECT_EQ(
      std::vector<std::string>(out.begin(), out.begin() + std::min<std::size_t>(6, out.size())),
      (std::vector<std::string>{"Config: Loading from " + config.configPath(),
                                "Config: [syslog-ident] = e2e", "Config: [sendmail-enabled] = -1",
                                "Config: [sendmail-to] = a@b", "Config: [sendmail-from] = c@d",
                                "Config: [max-connections-per-address] = 2"}));
  EXPECT_EQ(daemon->Output(Stream::kStderr), "tallyd service initialized\n");
}

// A peer holding idle connections up to the descriptor limit locks nobody out.
TEST(DaemonProcessLevel, IdleConnectionsUpToTheDescriptorLimitLockNobodyOut) {
  TempDir work;
  unsigned short const port = FreeTcpPort();
  ProcessOptions options;
  options.wrapper = {"prlimit", "--nofile=64:64", "--"};
  options.args = {"--standalone", "--port", std::to_string(port)};
  options.workDir = work.path();
  DaemonProcess daemon(options);
  ASSERT_TRUE(daemon.Start() && daemon.WaitForLine("ServiceStart")) << daemon.Output(Stream::kAny);

  boost::asio::io_context io;
  std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> idle;
  for (int i = 0; i < 100; ++i) idle.push_back(ConnectFrom(io, "127.0.0.2", port));
  ASSERT_TRUE(daemon.WaitForLine("Out of file descriptors: ", 10s, Stream::kStderr));
  tally::ClientOptions client;
  client.port = port;
  client.bindAddress = "127.0.0.1";
  for (int i = 0; i < 20; ++i) {
    auto const result = tally::SendCommand(client, norla::kNorlaPing, "", "", "");
    EXPECT_EQ(result.reply.code, 200) << i << ": " << result.detail;
  }
  auto const lines = daemon.Lines(Stream::kStderr);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](std::string const& line) {
                            return line.find("Out of file descriptors: ") != line.npos;
                          }),
            1);
  daemon.Signal(SIGINT);
  EXPECT_EQ(daemon.WaitExit(), 0);
}

TEST(DaemonProcessLevel, BinaryHoldsNoPlainConfigFileName) {
  std::string const binary = ReadFileText(TALLYD_PATH);
  ASSERT_FALSE(binary.empty());
  EXPECT_EQ(binary.find("tallyd.conf"), std::string::npos);
}

}  // namespace
