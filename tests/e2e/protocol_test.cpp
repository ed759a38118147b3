// The wire protocol against the real tallyd binary, through the client library.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <boost/asio.hpp>
#include <ctime>

#include "client/reply.h"
#include "client/request_builder.h"
#include "client/tally_client.h"
#include "tests/support/daemon_process.h"
#include "transport/md5_hex.h"
#include "transport/packet.h"

namespace {

using namespace tally_test;
using tally::ExchangeError;
using tally::ExchangeResult;

std::string const kProduct = tally::kProductId;

std::string DateLine(int dayOffset) {
  std::time_t t = std::time(nullptr) + dayOffset * 86400;
  std::tm utc{};
  gmtime_r(&t, &utc);
  char line[40];
  std::snprintf(line, sizeof line, "Date: %04d/%02d/%02d\r\n", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday);
  return line;
}

std::string Request(std::string const& command, std::string const& fields) {
  return "NORLA " + command + " TESTTAG01\r\n" + fields + "\r\n";
}

std::string Fields(std::string const& product, std::string const& unique, std::string const& app) {
  std::string f;
  if (!product.empty()) f += "ProductID: " + product + "\r\n";
  if (!unique.empty()) f += "UniqueID: " + unique + "\r\n";
  if (!app.empty()) f += "AppID: " + app + "\r\n";
  return f;
}

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreeTcpPort();
    daemon_ = StartStandaloneDaemon(port_, dir_.path());
    ASSERT_NE(daemon_, nullptr);
    options_.port = port_;
  }

  void TearDown() override {
    if (daemon_ && daemon_->Running()) {
      daemon_->Signal(SIGINT);
      EXPECT_EQ(daemon_->WaitExit(), 0);
    }
  }

  ExchangeResult Send(std::string const& text) { return tally::SendText(options_, text); }

  ExchangeResult Command(int command, std::string const& unique, std::string const& app,
                         std::string const& from = "") {
    tally::ClientOptions options = options_;
    options.bindAddress = from;
    return tally::SendCommand(options, command, kProduct, unique, app);
  }

  // Raw bytes in, raw bytes out: for frames the client library would not build.
  std::vector<unsigned char> Raw(std::vector<unsigned char> const& frame, ExchangeError& error) {
    std::string detail;
    return tally::ExchangeFrame(options_, frame, error, detail);
  }

  TempDir dir_;
  unsigned short port_ = 0;
  std::unique_ptr<DaemonProcess> daemon_;
  tally::ClientOptions options_;
};

TEST_F(ProtocolTest, EveryReplyCodeIsReachable) {
  std::string const full = Fields(kProduct, "u-1", "a-1");
  struct Case {
    char const* what;
    std::string text;
    int code;
  } const cases[] = {
      {"ping", Request("PING", ""), 200},
      {"login", Request("LOGIN", full), 200},
      {"alive", Request("ALIVE", full), 200},
      {"exit", Request("EXIT", full), 200},
      {"exit again", Request("EXIT", full), 303},
      {"only line ends", std::string(512, '\n'), 401},
      {"two words", "NORLA PING\r\n" + full, 402},
      {"lower-case magic", "norla PING TESTTAG01\r\n\r\n", 403},
      {"no UniqueID", Request("LOGIN", Fields(kProduct, "", "a")), 404},
      {"no AppID", Request("LOGIN", Fields(kProduct, "u", "")), 405},
      {"no ProductID", Request("LOGIN", Fields("", "u", "a")), 406},
      {"unknown command", Request("HELLO", full), 501},
      {"unknown command, no AppID", Request("HELLO", Fields(kProduct, "u", "")), 405},
      {"other product", Request("LOGIN", Fields("otherproduct", "u", "a")), 601},
      {"date with dashes", Request("LOGIN", full + "Date: 2026-12-05\r\n"), 602},
      {"February 30", Request("LOGIN", full + "Date: 2026/02/30\r\n"), 603},
      {"three days ahead", Request("LOGIN", full + DateLine(3)), 604},
      {"three days behind", Request("LOGIN", full + DateLine(-3)), 604},
      {"two days behind", Request("LOGIN", Fields(kProduct, "u-2", "a") + DateLine(-2)), 200},
      {"two days ahead", Request("LOGIN", Fields(kProduct, "u-3", "a") + DateLine(2)), 200},
  };
  for (auto const& c : cases) {
    ExchangeResult result = Send(c.text);
    ASSERT_EQ(result.error, ExchangeError::kNone) << c.what << ": " << result.detail;
    EXPECT_EQ(result.reply.code, c.code) << c.what;
    EXPECT_EQ(result.reply.version, "1.00") << c.what;
  }
}

// Counts and hashes are checked on the handler; here the event lines the
// process writes: the Connect address, and a Disconnect from another address.
TEST_F(ProtocolTest, ClientEventLines) {
  ExchangeResult login = Command(norla::kNorlaLogin, "roamer", "app", "127.0.0.1");
  ASSERT_EQ(login.reply.code, 200);
  EXPECT_EQ(login.reply.hash, norla::Md5Hex("roamerapp"));
  ASSERT_EQ(Command(norla::kNorlaExit, "roamer", "app", "127.0.0.2").reply.code, 200);
  EXPECT_TRUE(daemon_->WaitForLine("Connect : 127.0.0.1", 10s, Stream::kStdout));
  EXPECT_TRUE(daemon_->WaitForLine("Disconnect : 127.0.0.1(127.0.0.2), Current clients : 0", 10s,
                                   Stream::kStdout));
}

// Frames the client library would not build: a body of `size` bytes whose
// first bytes are an encrypted PING and whose tail is a byte pattern.
std::vector<unsigned char> PingFrame(std::size_t size) {
  auto frame = tally::EncodeRequestFrame(Request("PING", ""), 512);
  frame.resize(4 + size);
  for (std::size_t i = 4 + 512; i < frame.size(); ++i) frame[i] = static_cast<unsigned char>(i * 7);
  norla_server::EncodePacketHeader(frame.data(), size,
                                   norla_server::PacketChecksum(frame.data() + 4, size));
  return frame;
}

TEST_F(ProtocolTest, FrameRules) {
  auto zero = PingFrame(64), wrong = PingFrame(64);
  zero[2] = zero[3] = 0;
  wrong[3] ^= 0x5a;
  struct Case {
    char const* what;
    std::vector<unsigned char> frame;
    bool answered;
  } const cases[] = {
      {"largest body", PingFrame(1024), true},   {"body over 1024", PingFrame(1025), false},
      {"zero checksum field", zero, false},      {"wrong checksum", wrong, false},
      {"tail beyond 512", PingFrame(768), true},
  };
  for (auto const& c : cases) {
    ExchangeError error;
    auto reply = Raw(c.frame, error);
    if (!c.answered) {
      EXPECT_EQ(error, ExchangeError::kNoReply) << c.what;
      continue;
    }
    ASSERT_EQ(reply.size(), c.frame.size()) << c.what;
    EXPECT_EQ(tally::DecodeReplyFrame(reply, c.frame.size() - 4).reply.code, 200) << c.what;
    // Only the first 512 body bytes are answered; the rest comes back as sent.
    EXPECT_TRUE(std::equal(c.frame.begin() + 4 + 512, c.frame.end(), reply.begin() + 4 + 512))
        << c.what;
  }
}

TEST_F(ProtocolTest, FrameInSmallPiecesGetsTheSameReply) {
  namespace asio = boost::asio;
  auto frame = tally::EncodeRequestFrame(Request("PING", ""), 128);
  ExchangeError error;
  auto whole = Raw(frame, error);
  ASSERT_EQ(error, ExchangeError::kNone);

  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port_});
  socket.set_option(asio::ip::tcp::no_delay(true));
  for (std::size_t i = 0; i < frame.size(); i += 3) {
    asio::write(socket, asio::buffer(&frame[i], std::min<std::size_t>(3, frame.size() - i)));
  }
  std::vector<unsigned char> pieces;
  boost::system::error_code ec;
  asio::read(socket, asio::dynamic_buffer(pieces), ec);
  EXPECT_EQ(ec, asio::error::eof);
  EXPECT_EQ(pieces, whole);
}

TEST_F(ProtocolTest, SilentPeerIsClosedAtTheDeadline) {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port_});
  timeval limit{90, 0};  // never hang the suite if the deadline is missing
  setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  unsigned char half[2] = {0x00, 0x20};  // half a header, then silence
  asio::write(socket, asio::buffer(half));
  auto start = std::chrono::steady_clock::now();
  unsigned char byte;
  boost::system::error_code ec;
  std::size_t n = socket.read_some(asio::buffer(&byte, 1), ec);  // blocks until the server closes
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(ec == asio::error::eof || ec == asio::error::connection_reset) << ec.message();
  EXPECT_GE(waited, 25s);
  EXPECT_LT(waited, 60s);
  // Other clients were served meanwhile and afterwards.
  EXPECT_EQ(Send(Request("PING", "")).reply.code, 200);
}

}  // namespace
