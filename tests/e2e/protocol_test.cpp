// The wire protocol against the real tallyd binary, through the client
// library. The handler's rules are checked on the handler and the framing on
// the transport; here what only the running daemon decides: its product, its
// clock, the peer addresses in its lines and its session deadline.

#include <gtest/gtest.h>
#include <signal.h>

#include <boost/asio.hpp>
#include <ctime>

#include "client/reply.h"
#include "client/request_builder.h"
#include "client/tally_client.h"
#include "tests/support/daemon_process.h"
#include "tests/support/sockets.h"
#include "transport/md5_hex.h"

namespace {

using namespace tally_test;
using tally::ExchangeError;
using tally::ExchangeResult;

std::string DateLine(int dayOffset) {
  std::time_t t = std::time(nullptr) + dayOffset * 86400;
  std::tm utc{};
  gmtime_r(&t, &utc);
  char line[40];
  std::snprintf(line, sizeof line, "Date: %04d/%02d/%02d\r\n", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday);
  return line;
}

std::string Login(std::string const& product, std::string const& unique, std::string const& more) {
  return "NORLA LOGIN TESTTAG01\r\nProductID: " + product + "\r\nUniqueID: " + unique +
         "\r\nAppID: a\r\n" + more + "\r\n";
}

TEST(Protocol, OneDaemonRun) {
  TempDir dir;
  unsigned short const port = FreeTcpPort();
  auto daemon = StartStandaloneDaemon(port, dir.path());
  ASSERT_NE(daemon, nullptr);
  tally::ClientOptions options;
  options.port = port;

  // Half a header, then silence, while the others are served.
  boost::asio::io_context io;
  auto silent = ConnectFrom(io, "127.0.0.1", port, std::chrono::seconds(90));
  unsigned char half[2] = {0x00, 0x20};
  boost::asio::write(*silent, boost::asio::buffer(half));
  auto const start = std::chrono::steady_clock::now();

  std::string const product = tally::kProductId;
  std::pair<std::string, int> const cases[] = {
      {"NORLA PING TESTTAG01\r\n\r\n", 200},
      {Login("otherproduct", "u-1", ""), 601},
      {Login(product, "u-1", DateLine(3)), 604},
      {Login(product, "u-2", DateLine(-2)), 200},
  };
  for (auto const& [text, code] : cases) {
    ExchangeResult const result = tally::SendText(options, text);
    ASSERT_EQ(result.error, ExchangeError::kNone) << text << result.detail;
    EXPECT_EQ(result.reply.code, code) << text;
    EXPECT_EQ(result.reply.version, "1.00") << text;
  }

  // The Connect address, and a Disconnect from another address.
  options.bindAddress = "127.0.0.1";
  ExchangeResult const login =
      tally::SendCommand(options, norla::kNorlaLogin, product, "roamer", "app");
  ASSERT_EQ(login.reply.code, 200);
  EXPECT_EQ(login.reply.hash, norla::Md5Hex("roamerapp"));
  options.bindAddress = "127.0.0.2";
  ASSERT_EQ(tally::SendCommand(options, norla::kNorlaExit, product, "roamer", "app").reply.code,
            200);
  EXPECT_TRUE(daemon->WaitForLine("Connect : 127.0.0.1", 10s, Stream::kStdout));
  EXPECT_TRUE(daemon->WaitForLine("Disconnect : 127.0.0.1(127.0.0.2), Current clients : 1", 10s,
                                  Stream::kStdout));

  // The silent peer is closed at the 30 s deadline.
  unsigned char byte;
  boost::system::error_code ec;
  EXPECT_EQ(silent->read_some(boost::asio::buffer(&byte, 1), ec), 0u);
  auto const waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset)
      << ec.message();
  EXPECT_GE(waited, 25s);
  EXPECT_LT(waited, 60s);
  daemon->Signal(SIGINT);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

}  // namespace
