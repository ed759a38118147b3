// Access lists on the real binary: the files are read from the working
// directory of a foreground daemon when the service starts and on SIGHUP. A
// refused peer sees its connection closed without data. Patterns and list
// files are checked on the transport; here the daemon's reading and reloading,
// and the addresses they are applied to behind a load balancer.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "protocol/protocol_constants.h"
#include "tests/support/daemon_process.h"
#include "tests/support/root_sandbox.h"

namespace {

using namespace tally_test;
using tally::ExchangeError;

// An exchange from `from` ("::1": to ::1) with the daemon or balancer on `port`.
tally::ExchangeResult Send(unsigned short port, std::string const& from,
                           int command = norla::kNorlaPing) {
  tally::ClientOptions options;
  options.port = port;
  options.host = from == "::1" ? "::1" : "127.0.0.1";
  options.bindAddress = from;
  return tally::SendCommand(options, command, tally::kProductId, "lb-client", "app");
}

// A reload replaces both lists whole, or keeps them when a file cannot be read.
TEST(AccessLists, ReadAtStartAndReloadedOnSighup) {
  TempDir dir;
  dir.WriteFile("denyip.txt", "*\n");
  dir.WriteFile("allowip.txt", "127.0.0.2\n");
  unsigned short const port = FreeTcpPort();
  auto daemon = StartStandaloneDaemon(port, dir.path());
  ASSERT_NE(daemon, nullptr);
  // Whether a PING from `from` is answered.
  auto admitted = [port](std::string const& from) {
    auto const result = Send(port, from);
    EXPECT_TRUE(result.error == ExchangeError::kNone || result.error == ExchangeError::kNoReply)
        << from << ": " << result.detail;
    return result.error == ExchangeError::kNone;
  };
  EXPECT_TRUE(admitted("127.0.0.2"));
  EXPECT_FALSE(admitted("127.0.0.3"));
  EXPECT_FALSE(admitted("::1"));

  std::string const deny = dir.path() + "/denyip.txt";
  ASSERT_TRUE(unlink(deny.c_str()) == 0 && mkdir(deny.c_str(), 0700) == 0);
  daemon->Signal(SIGHUP);
  EXPECT_TRUE(daemon->WaitForLine(
      "Access lists not reloaded: cannot read ./denyip.txt: Is a directory"));
  EXPECT_FALSE(admitted("127.0.0.1"));
  ASSERT_EQ(rmdir(deny.c_str()), 0);

  dir.WriteFile("denyip.txt", "::1\n127.0.0.2\n");
  dir.WriteFile("allowip.txt", "127.0.0.3\n");
  daemon->Signal(SIGHUP);
  EXPECT_TRUE(daemon->WaitForLine("Access lists reloaded: 2 deny patterns, 1 allow patterns"));
  EXPECT_TRUE(admitted("127.0.0.1"));
  EXPECT_FALSE(admitted("127.0.0.2"));
  EXPECT_FALSE(admitted("::1"));  // an IPv6 peer by its text
  daemon->Signal(SIGINT);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

// Behind a real HAProxy sending PROXY headers, clients are known by the
// addresses the headers carry; the balancer's own speaks only through them.
TEST(AccessLists, AppliedToTheClientsBehindALoadBalancer) {
  constexpr char kHaproxy[] = "/usr/sbin/haproxy";
  if (access(kHaproxy, X_OK) != 0) GTEST_SKIP() << kHaproxy << " missing";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to write under /etc/opt";
  ConfigDataDir data("[tallyd]\nadmin-listen =\nproxy-protocol-from = 127.0.0.1, ::1\n");
  TempDir work;
  unsigned short const port = FreeTcpPort(), front = FreeTcpPort();
  auto daemon = StartStandaloneDaemon(port, work.path(), {"--datadir", data.name()});
  ASSERT_NE(daemon, nullptr);
  std::string const config = work.WriteFile("h.cfg",
      "defaults\n mode tcp\n timeout connect 5s\n timeout client 9s\n timeout server 9s\n"
      "listen fe\n bind 127.0.0.1:" + std::to_string(front) + "\n server s1 127.0.0.1:" +
      std::to_string(port) + " send-proxy-v2\n");
  DaemonProcess haproxy({kHaproxy, {"-db", "-f", config}, {}, work.path()});
  ASSERT_TRUE(haproxy.Start());
  tally::ExchangeResult login;  // HAProxy says nothing when ready: retry until it listens
  for (int tries = 0; tries < 500 && (login = Send(front, "127.0.0.2", norla::kNorlaLogin)).error ==
                                         ExchangeError::kConnect; ++tries) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(login.reply.code, 200) << login.detail;
  EXPECT_TRUE(daemon->WaitForLine("Connect : 127.0.0.2", 10s, Stream::kStdout));
  // The balancer's address without a header: closed without data.
  EXPECT_EQ(Send(port, "127.0.0.1").error, ExchangeError::kNoReply);
  // Another address's header is not believed: its bytes are a broken frame.
  std::vector<unsigned char> spoofed = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55,
                                        0x49, 0x54, 0x0A, 0x21, 0x11, 0x00, 0x0C, 127, 0, 0, 9,
                                        127, 0, 0, 1, 0x30, 0x39, 0x37, 0xD5};
  std::vector<unsigned char> const frame = tally::EncodeRequestFrame(
      "NORLA LOGIN TESTTAG01\r\nProductID: " + std::string(tally::kProductId) +
          "\r\nUniqueID: spoof\r\nAppID: app\r\n",
      512);
  spoofed.insert(spoofed.end(), frame.begin(), frame.end());
  tally::ClientOptions direct;
  direct.port = port;
  direct.bindAddress = "127.0.0.3";
  ExchangeError error = ExchangeError::kNone;
  std::string detail;
  EXPECT_TRUE(tally::ExchangeFrame(direct, spoofed, error, detail).empty());
  EXPECT_EQ(error, ExchangeError::kNoReply) << detail;
  work.WriteFile("denyip.txt", "127.0.0.2\n");
  daemon->Signal(SIGHUP);
  ASSERT_TRUE(daemon->WaitForLine("Access lists reloaded: 1 deny patterns"));
  EXPECT_EQ(Send(front, "127.0.0.2").error, ExchangeError::kNoReply);
  haproxy.Signal(SIGTERM);
  EXPECT_NE(haproxy.WaitExit(), -1);
  daemon->Signal(SIGINT);
  EXPECT_EQ(daemon->WaitExit(), 0);
  EXPECT_EQ(daemon->Output(Stream::kAny).find("127.0.0.9"), std::string::npos);
}

}  // namespace
