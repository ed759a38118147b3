// Connection bounds on the real binary: the per-address cap, and a peer that
// holds idle connections up to the descriptor limit while others are served.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <boost/asio.hpp>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "tests/support/daemon_process.h"
#include "tests/support/root_sandbox.h"

namespace {

using namespace tally_test;
namespace asio = boost::asio;

// An open connection from `from`; reads on it give up after 10 s, well before
// the daemon's 30 s session deadline would close it anyway.
std::unique_ptr<asio::ip::tcp::socket> Connect(asio::io_context& io, char const* from,
                                               unsigned short port) {
  auto socket = std::make_unique<asio::ip::tcp::socket>(io, asio::ip::tcp::v4());
  socket->bind({asio::ip::make_address(from), 0});
  socket->connect({asio::ip::address_v4::loopback(), port});
  timeval limit{10, 0};
  setsockopt(socket->native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return socket;
}

// The reply code to a PING sent on `socket`, -1 when none came.
int Ping(asio::ip::tcp::socket& socket) {
  auto const frame = tally::EncodeRequestFrame("NORLA PING TESTTAG01\r\n\r\n", 512);
  asio::write(socket, asio::buffer(frame));
  std::vector<unsigned char> reply;
  boost::system::error_code error;
  asio::read(socket, asio::dynamic_buffer(reply), error);
  auto const result = tally::DecodeReplyFrame(reply, 512);
  return result.error == tally::ExchangeError::kNone ? result.reply.code : -1;
}

TEST(ConnectionBounds, AddressOverItsCapIsClosedWithoutData) {
  ConfigDataDir config("[tallyd]\nmax-connections-per-address = 2\n");
  TempDir work;
  unsigned short const port = FreeTcpPort();
  auto daemon = StartStandaloneDaemon(port, work.path(), {"--datadir", config.name()});
  ASSERT_NE(daemon, nullptr);
  asio::io_context io;
  auto first = Connect(io, "127.0.0.2", port);
  auto second = Connect(io, "127.0.0.2", port);
  auto extra = Connect(io, "127.0.0.2", port);
  unsigned char byte;
  EXPECT_EQ(recv(extra->native_handle(), &byte, 1, 0), 0);  // closed at once, not timed out
  EXPECT_EQ(Ping(*first), 200);
  EXPECT_EQ(Ping(*second), 200);
  daemon->Signal(SIGINT);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

TEST(ConnectionBounds, IdleConnectionsUpToTheDescriptorLimitLockNobodyOut) {
  TempDir work;
  unsigned short const port = FreeTcpPort();
  ProcessOptions options;
  options.wrapper = {"prlimit", "--nofile=64:64", "--"};
  options.args = {"--standalone", "--port", std::to_string(port)};
  options.workDir = work.path();
  DaemonProcess daemon(options);
  ASSERT_TRUE(daemon.Start() && daemon.WaitForLine("ServiceStart")) << daemon.Output(Stream::kAny);

  asio::io_context io;
  std::vector<std::unique_ptr<asio::ip::tcp::socket>> idle;
  for (int i = 0; i < 100; ++i) idle.push_back(Connect(io, "127.0.0.2", port));
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

}  // namespace
