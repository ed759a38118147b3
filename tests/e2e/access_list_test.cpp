// Access lists on the real binary: the files are read from the working
// directory of a foreground daemon when the service starts and on SIGHUP. A
// refused peer sees its connection closed without data. Patterns and list
// files are checked on the transport; here the daemon's reading and reloading.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "tests/support/daemon_process.h"

namespace {

using namespace tally_test;

// A reload replaces both lists whole, or keeps them when a file cannot be read.
TEST(AccessLists, ReadAtStartAndReloadedOnSighup) {
  TempDir dir;
  dir.WriteFile("denyip.txt", "*\n");
  dir.WriteFile("allowip.txt", "127.0.0.2\n");
  unsigned short const port = FreeTcpPort();
  auto daemon = StartStandaloneDaemon(port, dir.path());
  ASSERT_NE(daemon, nullptr);
  // Whether a PING from `from` ("::1": to ::1) is answered.
  auto admitted = [port](std::string const& from) {
    tally::ClientOptions options;
    options.port = port;
    options.host = from == "::1" ? "::1" : "127.0.0.1";
    options.bindAddress = from;
    auto const result = tally::SendCommand(options, norla::kNorlaPing, "", "", "");
    EXPECT_TRUE(result.error == tally::ExchangeError::kNone ||
                result.error == tally::ExchangeError::kNoReply)
        << from << ": " << result.detail;
    return result.error == tally::ExchangeError::kNone;
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

}  // namespace
