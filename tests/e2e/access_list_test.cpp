// Access lists on the real binary: the files are read from the working
// directory of a foreground daemon when the service starts.

#include <gtest/gtest.h>
#include <signal.h>

#include <boost/asio.hpp>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "tests/support/daemon_process.h"

namespace {

using namespace tally_test;

struct Verdict {
  bool admitted;
  std::string detail;
};

class AccessListTest : public ::testing::Test {
 protected:
  void Start(std::string const& deny, std::string const& allow) {
    if (!deny.empty()) dir_.WriteFile("denyip.txt", deny);
    if (!allow.empty()) dir_.WriteFile("allowip.txt", allow);
    port_ = FreeTcpPort();
    daemon_ = StartStandaloneDaemon(port_, dir_.path());
    ASSERT_NE(daemon_, nullptr);
  }

  void TearDown() override {
    if (daemon_ && daemon_->Running()) {
      daemon_->Signal(SIGINT);
      EXPECT_EQ(daemon_->WaitExit(), 0);
    }
  }

  // A PING from `from` to `to`: admitted peers get a reply, refused ones see
  // their connection closed without data.
  Verdict Ping(std::string const& from, std::string const& to = "127.0.0.1") {
    tally::ClientOptions options;
    options.host = to;
    options.port = port_;
    options.bindAddress = from;
    tally::ExchangeResult result =
        tally::SendCommand(options, norla::kNorlaPing, "", "", "");
    if (result.error == tally::ExchangeError::kNone) return {true, ""};
    EXPECT_EQ(result.error, tally::ExchangeError::kNoReply) << result.detail;
    return {false, tally::ExchangeErrorText(result.error)};
  }

  TempDir dir_;
  unsigned short port_ = 0;
  std::unique_ptr<DaemonProcess> daemon_;
};

TEST_F(AccessListTest, DenyAllButOneHost) {
  Start("*\n", "127.0.0.2\n");
  EXPECT_TRUE(Ping("127.0.0.2").admitted);
  EXPECT_FALSE(Ping("127.0.0.3").admitted);
  EXPECT_FALSE(Ping("127.0.0.1").admitted);
}

TEST_F(AccessListTest, CrLfListWithBlankLines) {
  Start("\r\n127.0.0.3\r\n\r\n127.0.0.1?\r\n", "");
  EXPECT_FALSE(Ping("127.0.0.3").admitted);
  EXPECT_FALSE(Ping("127.0.0.1").admitted);  // trailing "?" also matches the shorter text
  EXPECT_FALSE(Ping("127.0.0.12").admitted);
  EXPECT_TRUE(Ping("127.0.0.2").admitted);
  EXPECT_TRUE(Ping("127.0.0.123").admitted);
}

TEST_F(AccessListTest, AllowListAloneAdmitsEveryone) {
  Start("", "127.0.0.2\n");
  EXPECT_TRUE(Ping("127.0.0.3").admitted);
  EXPECT_TRUE(Ping("127.0.0.2").admitted);
}

TEST_F(AccessListTest, Ipv6PeersAreMatchedAsIpv6Text) {
  for (std::string deny : {"::1\n", "*\n", "*.*\n"}) {
    SCOPED_TRACE(deny);
    TempDir dir;
    dir.WriteFile("denyip.txt", deny);
    unsigned short port = FreeTcpPort();
    auto daemon = StartStandaloneDaemon(port, dir.path());
    ASSERT_NE(daemon, nullptr);
    tally::ClientOptions options;
    options.host = "::1";
    options.port = port;
    tally::ExchangeResult refused = tally::SendCommand(options, norla::kNorlaPing, "", "", "");
    EXPECT_EQ(refused.error, tally::ExchangeError::kNoReply) << refused.detail;
    daemon->Signal(SIGINT);
    EXPECT_EQ(daemon->WaitExit(), 0);
  }
  // An IPv4 peer is never seen as ::ffff:127.0.0.1.
  Start("::ffff:*\n", "");
  EXPECT_TRUE(Ping("127.0.0.1").admitted);
}

}  // namespace
