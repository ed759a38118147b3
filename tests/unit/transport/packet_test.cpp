// Frames and their verdicts, peer texts, and sessions on the server thread.

#include <gtest/gtest.h>
#include <net/if.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <future>
#include <thread>

#include "client/tally_client.h"
#include "tests/support/journal.h"
#include "tests/support/sockets.h"
#include "transport/ip_access_list.h"
#include "transport/packet_exchange.h"
#include "transport/packet_server.h"
#include "transport/packet_server_thread.h"
#include "transport/peer_address.h"

namespace norla_server {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using tally::ExchangeError;
namespace ip = boost::asio::ip;

// `length` (> 0) body bytes from `first` on, deliverable; `flip`: Flip's reply.
Bytes Frame(std::size_t length, unsigned char first = 1, bool flip = false) {
  Bytes frame(kPacketHeaderSize + length);
  unsigned char* body = &frame[kPacketHeaderSize];
  for (std::size_t i = 0; i < length; ++i) body[i] = first + i * 7;
  if (PacketChecksum(body, length) == 0) body[length - 1] ^= 1;
  for (std::size_t i = 0; i < length && flip; ++i) body[i] = ~body[i];
  EncodePacketHeader(frame.data(), length, PacketChecksum(body, length));
  return frame;
}

// Inverts the body; declines or throws as its first byte says.
constexpr unsigned char kDecline = 0xEE, kThrowStd = 0xFE, kThrowOther = 0xFF;
std::atomic<int> gFlips{0};
bool Flip(unsigned char* body, unsigned long length, std::string const&) {
  ++gFlips;
  if (body[0] == kThrowStd) throw std::runtime_error("handler fault");
  if (body[0] == kThrowOther) throw 42;
  if (body[0] == kDecline) return false;
  for (unsigned long i = 0; i < length; ++i) body[i] = ~body[i];
  return true;
}

TEST(AnswerFrame, ChecksumHeaderAndVerdicts) {
  EXPECT_EQ(PacketChecksum(reinterpret_cast<unsigned char const*>("123456789"), 9), 0xBB3D);
  using V = ExchangeVerdict;
  struct Case {
    Bytes frame;
    V verdict;
    int calls;
    Bytes reply;
  } const cases[] = {
      // Big-endian length and CRC-16/ARC; the reply gets a fresh checksum.
      {{0, 2, 0x77, 0x0D, 0x12, 0x34}, V::kSendReply, 1, {0, 2, 0xC7, 0x0C, 0xED, 0xCB}},
      {Frame(1024), V::kSendReply, 1, Frame(1024, 1, true)},
      {Frame(1025), V::kDropTooLong, 0, {}},
      {{0, 1, 0, 0, 7}, V::kDropZeroChecksum, 0, {}},
      {{0, 2, 0x77, 0x0E, 0x12, 0x34}, V::kDropChecksumMismatch, 0, {}},
      {{0, 0, 0x12, 0x34}, V::kDropChecksumMismatch, 0, {}},
      {Frame(32, kDecline), V::kDropDeclined, 1, {}},
      {{0, 2, 0x77, 0x0D, 0x12}, V::kIncomplete, 0, {}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(&c - cases);
    TPacket reply;
    gFlips = 0;
    EXPECT_EQ(AnswerFrame(c.frame.data(), c.frame.size(), reply, Flip, "p"), c.verdict);
    EXPECT_EQ(gFlips, c.calls);
    if (c.verdict != V::kSendReply) continue;
    EXPECT_EQ(Bytes(reply.data, reply.data + FrameSize(reply)), c.reply);
  }
}

std::string PeerText(char const* address, unsigned long scope = 0) {
  ip::address_v6 v6 = ip::make_address_v6(address);
  v6.scope_id(scope);
  return PeerAddressText(v6);
}

TEST(PeerAddress, Forms) {
  unsigned long const lo = if_nametoindex("lo");
  EXPECT_EQ(PeerText("::ffff:127.0.0.1"), "127.0.0.1");  // IPv4 client on the dual-stack listener
  EXPECT_EQ(PeerText("fe80::1", lo), "fe80::1%lo");      // link-local: the interface name
  EXPECT_EQ(PeerText("fe80::1", 4000000), "fe80::1%4000000");           // no such interface
  EXPECT_EQ(PeerText("ff02::1", lo), "ff02::1%" + std::to_string(lo));  // other scopes: the number
  for (unsigned long bits : {0UL, 0x7f000001UL, 0x0a006409UL, 0xc0a80a63UL, 0xffffffffUL}) {
    ip::address_v4 const v4(static_cast<ip::address_v4::uint_type>(bits));
    EXPECT_EQ(PeerAddressText(v4), v4.to_string());
    EXPECT_EQ(PeerText(("::ffff:" + v4.to_string()).c_str()), v4.to_string());
  }
}

// Records what the transport reports, in order: log lines ("error " first at
// error priority), "connect PEER" and "refused PEER REASON".
class Events final : public ITransportEvents, public tally_test::Journal {
 public:
  void OnLogLine(TransportLogPriority priority, std::string const& line) override {
    Add((priority == TransportLogPriority::kError ? "error " : "") + line);
  }
  void OnConnect(std::string const& peer) override { Add("connect " + peer); }
  void OnRefused(std::string const& peer, RefusalReason reason) override {
    Add("refused " + peer + " " + std::to_string(static_cast<int>(reason)));
  }
};

using Outcome = std::pair<ExchangeError, Bytes>;

class ServerThreadTest : public ::testing::Test {
 protected:
  void TearDown() override { server_.reset(); }  // stops the server thread and waits for it

  void Start(PacketHandler handler, int port = 0, ServerThreadOptions options = {}) {
    StartFailure failure{};
    options.events = &events_;
    server_.reset(
        KPacketServerThread::Start(port ? port : port_, std::move(handler), options, failure));
    ASSERT_NE(server_, nullptr) << "failure " << static_cast<int>(failure);
  }

  // The reply, complete once the server has closed. The client waits 2 s, far
  // less than the 30 s session deadline, so a lingering session is kTimeout.
  Outcome Exchange(Bytes const& request, std::string const& from = "127.0.0.1") {
    tally::ClientOptions const options{from == "::1" ? "::1" : "127.0.0.1", port_, from, 2s};
    Outcome result;
    std::string detail;
    result.second = tally::ExchangeFrame(options, request, result.first, detail);
    return result;
  }

  static Outcome Served(std::size_t n) { return {ExchangeError::kNone, Frame(n, 1, true)}; }
  Outcome const kDropped{ExchangeError::kNoReply, {}};  // closed without a reply
  unsigned short port_ = [] {
    boost::asio::io_context io;
    return ip::tcp::acceptor(io, {ip::tcp::v6(), 0}).local_endpoint().port();
  }();
  Events events_;
  std::unique_ptr<KPacketServerThread> server_;
};

// Drops and handler exceptions close at once and end only their connection.
TEST_F(ServerThreadTest, DropsAndHandlerExceptionsCloseAtOnce) {
  Start(Flip);
  for (Bytes const& request : {Frame(1025), Bytes{0, 1, 0, 0, 7}, Bytes{0, 2, 0x77, 0x0E, 0x12, 0x34},
                               Frame(32, kDecline), Frame(32, kThrowStd), Frame(32, kThrowOther)}) {
    EXPECT_EQ(Exchange(request), kDropped);
  }
  std::string const c = "connect 127.0.0.1";
  EXPECT_EQ(events_.Take(8), (tally_test::Strings{c, c, c, c, c, "Exception: handler fault", c,
                                                  "Unknown Exception"}));
  EXPECT_EQ(Exchange(Frame(1024)), Served(1024));  // the largest body
}

// Also: signals belong to the host's threads; the server thread blocks them.
TEST_F(ServerThreadTest, JoinGivesUpAtItsLimit) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  sigset_t mask;
  Start([&](unsigned char*, unsigned long, std::string const&) {
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    entered.set_value();
    released.wait();
    return false;
  });
  auto client = std::async(std::launch::async, [&] { return Exchange(Frame(16)); });
  ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(sigismember(&mask, SIGTERM) + sigismember(&mask, SIGINT), 2);
  server_->PostStop();
  auto const start = std::chrono::steady_clock::now();
  server_->Join(200);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
  EXPECT_FALSE(server_->Ended());
  release.set_value();
  server_->Join(0);
  EXPECT_TRUE(server_->Ended());
  EXPECT_EQ(client.get(), kDropped);
}

// Refusals by access list and by the per-address cap, reported in order and
// counted; a finished connection gives its place back. A frame arriving in
// small pieces gets the whole reply.
TEST_F(ServerThreadTest, RefusesByListAndCap) {
  ServerThreadOptions options;
  options.accessLists = std::make_shared<IpAccessLists const>(std::list<std::string>{"*"},
                                                              std::list<std::string>{"127.0.0.2"});
  options.maxPerAddress = 1;
  Start(Flip, 0, options);
  boost::asio::io_context io;
  auto held = tally_test::ConnectFrom(io, "127.0.0.2", port_);
  held->set_option(ip::tcp::no_delay(true));
  EXPECT_EQ(Exchange(Frame(32), "127.0.0.3"), kDropped);  // accepted after `held`
  EXPECT_EQ(Exchange(Frame(32), "127.0.0.2"), kDropped);
  Bytes const frame = Frame(512);
  for (std::size_t i = 0; i < frame.size(); i += 3)
    boost::asio::write(*held, boost::asio::buffer(&frame[i], std::min<std::size_t>(3, frame.size() - i)));
  Bytes reply(kPacketHeaderSize + 512);
  boost::asio::read(*held, boost::asio::buffer(reply));
  EXPECT_EQ(reply, Frame(512, 1, true));
  EXPECT_EQ(Exchange(Frame(32), "127.0.0.2"), Served(32));
  EXPECT_EQ(events_.Take(6),
            (tally_test::Strings{"connect 127.0.0.2", "connect 127.0.0.3", "refused 127.0.0.3 0",
                                 "connect 127.0.0.2", "refused 127.0.0.2 1", "connect 127.0.0.2"}));
  EXPECT_EQ(server_->Refusals(RefusalReason::kAccessList), 1u);
  EXPECT_EQ(server_->Refusals(RefusalReason::kPerAddressCap), 1u);
}

// Silent peers are closed one by one at their own deadlines, finished sessions
// leave the sweep's list early, and the sweep stops when idle and restarts.
TEST_F(ServerThreadTest, SilentPeersAreClosedAtTheirOwnDeadlines) {
  constexpr auto kLimit = 600ms;
  ServerThreadOptions options;
  options.sessionDeadline = kLimit;
  Start(Flip, 0, options);
  boost::asio::io_context io;
  auto silent = [&] {
    auto peer = tally_test::ConnectFrom(io, "127.0.0.1", port_);
    unsigned char half[2] = {0x00, 0x20};
    peer->send(boost::asio::buffer(half));
    return std::make_pair(std::move(peer), std::chrono::steady_clock::now());
  };
  // How long after its connect the server closed `peer`; the read fails at 10 s.
  auto closedAfter = [](auto const& peer) {
    unsigned char byte;
    EXPECT_LE(recv(peer.first->native_handle(), &byte, 1, 0), 0);
    return std::chrono::steady_clock::now() - peer.second;
  };
  for (int round = 0; round < 2; ++round) {
    auto first = silent();
    std::this_thread::sleep_for(kLimit / 2);
    EXPECT_EQ(Exchange(Frame(64)), Served(64));  // listed and gone before the others
    auto second = silent();
    for (auto const* peer : {&first, &second}) {
      auto const waited = closedAfter(*peer);
      EXPECT_GE(waited, kLimit - 50ms) << round;
      EXPECT_LT(waited, kLimit + 400ms) << round;
    }
    std::this_thread::sleep_for(kLimit / 10);  // the list is empty: the sweep stops
  }
}

// Out of descriptors with no idle connection to close, accepting pauses
// instead of spinning, and the connection waiting in the backlog is served
// once descriptors are free again.
TEST_F(ServerThreadTest, ServesAgainAfterRunningOutOfDescriptors) {
  for (int error : {EMFILE, ENFILE, ENOBUFS, ENOMEM, ECONNABORTED, EPERM}) {
    auto const code = boost::system::error_code(error, boost::system::system_category());
    EXPECT_EQ(KPacketServer::AcceptRetryDelay(code) > 0ms, error != ECONNABORTED && error != EPERM)
        << error;
  }
  Start(Flip);
  // Served first, which also lets UBSan check the event sink's type while it
  // still has the descriptors its memory probe needs.
  EXPECT_EQ(Exchange(Frame(32)), Served(32));
  events_.Take(1);  // its connect
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit const lowered{std::min<rlim_t>(saved.rlim_cur, 512), saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  boost::asio::io_context io;  // the client's descriptors, taken before the rest run out
  ip::tcp::socket client(io, ip::tcp::v4());
  std::vector<tally_test::UniqueFd> fillers;
  for (int fd; (fd = dup(2)) >= 0;) fillers.emplace_back(fd);
  EXPECT_EQ(errno, EMFILE);
  boost::system::error_code error;
  client.connect({ip::address_v4::loopback(), port_}, error);
  if (!error) client.send(boost::asio::buffer(Frame(32)), 0, error);
  EXPECT_EQ(events_.Take(1),
            tally_test::Strings{"error Out of file descriptors: 0 connections open"});
  fillers.clear();
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_FALSE(error) << error.message();
  timeval limit{5, 0};
  setsockopt(client.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  Bytes reply(2048);
  reply.resize(std::max<ssize_t>(recv(client.native_handle(), &reply[0], 2048, MSG_WAITALL), 0));
  EXPECT_EQ(reply, Frame(32, 1, true));
}

}  // namespace
}  // namespace norla_server
