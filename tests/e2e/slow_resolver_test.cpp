// Reverse lookups for event lines must never hold up requests: tallyd runs in a
// private mount namespace whose resolver points at a loopback listener that
// swallows every query, so each lookup of an address missing from /etc/hosts
// hangs for the resolver's whole time-out.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "tests/support/daemon_process.h"

namespace {

using namespace tally_test;

constexpr char kSilentResolver[] = "127.0.0.77";

bool HostsFileNames(std::string const& address) {
  std::ifstream hosts("/etc/hosts");
  std::string line;
  while (std::getline(hosts, line)) {
    std::istringstream words(line);
    std::string first;
    if (words >> first && first == address) return true;
  }
  return false;
}

TEST(SlowResolver, LookupsNeverDelayRequests) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  if (HostsFileNames("127.0.0.2")) GTEST_SKIP() << "/etc/hosts names 127.0.0.2";

  // A DNS server that never answers.
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(udp, 0);
  sockaddr_in dns{};
  dns.sin_family = AF_INET;
  dns.sin_port = htons(53);
  inet_pton(AF_INET, kSilentResolver, &dns.sin_addr);
  if (bind(udp, reinterpret_cast<sockaddr*>(&dns), sizeof dns) != 0) {
    close(udp);
    GTEST_SKIP() << "cannot listen on " << kSilentResolver << ":53";
  }

  TempDir dir;
  dir.WriteFile("resolv.conf", std::string("nameserver ") + kSilentResolver +
                                   "\noptions timeout:5 attempts:2\n");
  unsigned short port = FreeTcpPort();
  ProcessOptions options;
  options.program = "/usr/bin/unshare";
  options.args = {"--mount", "--propagation", "private", "/bin/sh", "-c",
                  "mount --bind \"$1\" /etc/resolv.conf && exec \"$2\" --standalone --port \"$3\"",
                  "sh", dir.path() + "/resolv.conf", TALLYD_PATH, std::to_string(port)};
  options.workDir = dir.path();
  DaemonProcess daemon(options);
  ASSERT_TRUE(daemon.Start());
  if (!daemon.WaitForLine("ServiceStart", 10s)) {
    close(udp);
    GTEST_SKIP() << "could not start tallyd in a private mount namespace: "
                 << daemon.Output(Stream::kStderr);
  }

  tally::ClientOptions client;
  client.port = port;
  client.timeout = 4s;  // shorter than one resolver time-out
  client.bindAddress = "127.0.0.2";
  tally::ExchangeResult login =
      tally::SendCommand(client, norla::kNorlaLogin, tally::kProductId, "slow-dns", "app");
  ASSERT_EQ(login.error, tally::ExchangeError::kNone) << login.detail;
  EXPECT_EQ(login.reply.code, 200);

  client.bindAddress = "127.0.0.1";
  tally::ExchangeResult ping = tally::SendCommand(client, norla::kNorlaPing, "", "", "");
  ASSERT_EQ(ping.error, tally::ExchangeError::kNone) << ping.detail;
  EXPECT_EQ(ping.reply.code, 200);
  EXPECT_EQ(ping.reply.currentClients, 1u);

  // The lookup is still hanging, yet both requests were answered; its line
  // follows once the resolver gives up, with its designed text.
  EXPECT_FALSE(daemon.WaitForLine("Connect : 127.0.0.2", 0s));
  EXPECT_TRUE(daemon.WaitForLine("Connect : 127.0.0.2, Current clients : 1", 40s));

  daemon.Signal(SIGINT);
  EXPECT_EQ(daemon.WaitExit(30s), 0);
  EXPECT_TRUE(daemon.WaitForLine("ServiceEnd, Current clients : 1", 0s));
  close(udp);
}

}  // namespace
