// Access lists on the real binary: the files are read from the working
// directory of a foreground daemon when the service starts and on SIGHUP. A
// refused peer sees its connection closed without data.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "tests/support/daemon_process.h"

namespace {

using namespace tally_test;

struct Probe {
  char const* from;  // local address to connect from; empty for ::1 to ::1
  bool admitted;
};

struct Case {
  char const* what;
  char const* deny;   // file contents; empty: no file
  char const* allow;
  std::vector<Probe> probes;
};

TEST(AccessLists, AdmitOrRefuseByAddressText) {
  Case const cases[] = {
      {"deny all but one host", "*\n", "127.0.0.2\n",
       {{"127.0.0.2", true}, {"127.0.0.3", false}, {"127.0.0.1", false}}},
      {"CR-LF list with blank lines; trailing ? also matches the shorter text",
       "\r\n127.0.0.3\r\n\r\n127.0.0.1?\r\n", "",
       {{"127.0.0.3", false}, {"127.0.0.1", false}, {"127.0.0.12", false},
        {"127.0.0.2", true}, {"127.0.0.123", true}}},
      {"allow list alone admits everyone", "", "127.0.0.2\n", {{"127.0.0.3", true}}},
      {"IPv6 peer by its text", "::1\n", "", {{"", false}, {"127.0.0.1", true}}},
      {"* matches IPv6 too", "*\n", "", {{"", false}}},
      {"so does *.*", "*.*\n", "", {{"", false}}},
      {"an IPv4 peer is never seen as ::ffff:a.b.c.d", "::ffff:*\n", "",
       {{"127.0.0.1", true}}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    if (*c.deny) dir.WriteFile("denyip.txt", c.deny);
    if (*c.allow) dir.WriteFile("allowip.txt", c.allow);
    unsigned short port = FreeTcpPort();
    auto daemon = StartStandaloneDaemon(port, dir.path());
    ASSERT_NE(daemon, nullptr);
    for (Probe const& probe : c.probes) {
      tally::ClientOptions options;
      options.port = port;
      options.host = *probe.from ? "127.0.0.1" : "::1";
      options.bindAddress = probe.from;
      tally::ExchangeResult result = tally::SendCommand(options, norla::kNorlaPing, "", "", "");
      EXPECT_EQ(result.error, probe.admitted ? tally::ExchangeError::kNone
                                             : tally::ExchangeError::kNoReply)
          << (*probe.from ? probe.from : "::1") << ": " << result.detail;
    }
    daemon->Signal(SIGINT);
    EXPECT_EQ(daemon->WaitExit(), 0);
  }
}

// A reload replaces the lists whole, or keeps them when a file cannot be read.
TEST(AccessLists, ReloadOnSighup) {
  TempDir dir;
  dir.WriteFile("denyip.txt", "*\n");
  unsigned short const port = FreeTcpPort();
  auto daemon = StartStandaloneDaemon(port, dir.path());
  ASSERT_NE(daemon, nullptr);
  tally::ClientOptions options;
  options.port = port;
  auto ping = [&] { return tally::SendCommand(options, norla::kNorlaPing, "", "", "").error; };
  std::string const deny = dir.path() + "/denyip.txt";
  ASSERT_TRUE(unlink(deny.c_str()) == 0 && mkdir(deny.c_str(), 0700) == 0);
  daemon->Signal(SIGHUP);
  EXPECT_TRUE(daemon->WaitForLine(
      "Access lists not reloaded: cannot read ./denyip.txt: Is a directory"));
  EXPECT_EQ(ping(), tally::ExchangeError::kNoReply);
  ASSERT_EQ(rmdir(deny.c_str()), 0);
  dir.WriteFile("denyip.txt", "127.0.0.2\n");
  dir.WriteFile("allowip.txt", "::1\n127.0.0.3\n");
  daemon->Signal(SIGHUP);
  EXPECT_TRUE(daemon->WaitForLine("Access lists reloaded: 1 deny patterns, 2 allow patterns"));
  EXPECT_EQ(ping(), tally::ExchangeError::kNone);
  daemon->Signal(SIGINT);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

}  // namespace
