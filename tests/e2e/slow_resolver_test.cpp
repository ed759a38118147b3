// Reverse lookups for event lines must never hold up requests, nor one
// another, nor the order of lines: tallyd runs in a private mount namespace
// whose resolver points at a loopback listener that swallows every query, so
// each lookup of an address missing from /etc/hosts hangs for the resolver's
// whole time-out (10 s).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <sstream>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "tests/support/daemon_process.h"
#include "tests/support/root_sandbox.h"
#include "tests/support/sockets.h"

namespace {

using namespace tally_test;

constexpr char kSilentResolver[] = "127.0.0.77";

// Index of the first console line holding `text`, or the number of lines.
std::size_t IndexOf(std::vector<std::string> const& lines, std::string const& text) {
  return std::find_if(lines.begin(), lines.end(),
                      [&](std::string const& line) { return line.find(text) != line.npos; }) -
         lines.begin();
}

TEST(SlowResolver, LookupsRunSideBySideAndLinesKeepTheirOrder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  std::istringstream hosts(ReadFileText("/etc/hosts"));
  for (std::string address; hosts >> address; hosts.ignore(1 << 16, '\n')) {
    for (int i = 2; i <= 10; ++i) {
      if (address == "127.0.0." + std::to_string(i)) GTEST_SKIP() << "/etc/hosts names " << address;
    }
  }

  // A DNS server that never answers.
  UniqueFd const udp(socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in dns{};
  dns.sin_family = AF_INET;
  dns.sin_port = htons(53);
  inet_pton(AF_INET, kSilentResolver, &dns.sin_addr);
  if (bind(udp.get(), reinterpret_cast<sockaddr*>(&dns), sizeof dns) != 0)
    GTEST_SKIP() << "cannot listen on " << kSilentResolver << ":53";

  TempDir dir;
  dir.WriteFile("resolv.conf", std::string("nameserver ") + kSilentResolver +
                                   "\noptions timeout:5 attempts:2\n");
  unsigned short port = FreeTcpPort();
  ProcessOptions options;
  options.program = "/usr/bin/unshare";
  options.args = {"--mount", "--propagation", "private", "/bin/sh", "-c",
                  // One pipe, so that lines of both streams keep their order.
                  "mount --bind \"$1\" /etc/resolv.conf && exec \"$2\" --standalone --port "
                  "\"$3\" 2>&1",
                  "sh", dir.path() + "/resolv.conf", TALLYD_PATH, std::to_string(port)};
  options.workDir = dir.path();
  DaemonProcess daemon(options);
  ASSERT_TRUE(daemon.Start());
  if (!daemon.WaitForLine("tallyd service initialized", 10s))
    GTEST_SKIP() << "could not start tallyd in a private mount namespace: " << daemon.Output(Stream::kStderr);

  // Eight new addresses at once, each answered; their lines within 3 s.
  auto login = [port](int i) {
    tally::ClientOptions client;
    client.port = port;
    client.timeout = 4s;  // shorter than one resolver time-out
    client.bindAddress = "127.0.0." + std::to_string(i);
    return tally::SendCommand(client, norla::kNorlaLogin, tally::kProductId,
                              "slow-dns-" + std::to_string(i), "app");
  };
  auto const start = std::chrono::steady_clock::now();
  std::vector<std::future<tally::ExchangeResult>> logins;
  for (int i = 2; i <= 9; ++i) logins.push_back(std::async(std::launch::async, login, i));
  for (auto& result : logins) {
    tally::ExchangeResult const answered = result.get();
    ASSERT_EQ(answered.error, tally::ExchangeError::kNone) << answered.detail;
    EXPECT_EQ(answered.reply.code, 200);
  }
  for (int i = 2; i <= 9; ++i) {
    auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
        start + 3s - std::chrono::steady_clock::now());
    EXPECT_TRUE(daemon.WaitForLine("Connect : 127.0.0." + std::to_string(i) + ",",
                                   std::max(left, 0ms)))
        << i;
  }

  // One more whose lookup still hangs when the stop comes: its line is
  // written first, and the stop is not held up.
  ASSERT_EQ(login(10).reply.code, 200);
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(3s), 65);
  std::vector<std::string> const lines = daemon.Lines();
  EXPECT_LT(IndexOf(lines, "ServiceStart"), IndexOf(lines, "tallyd service initialized"));
  std::size_t const received = IndexOf(lines, "Received signal : 15");
  EXPECT_LT(received, lines.size());
  for (int i = 2; i <= 10; ++i) {
    EXPECT_LT(IndexOf(lines, "Connect : 127.0.0." + std::to_string(i) + ","), received) << i;
  }
}

}  // namespace
