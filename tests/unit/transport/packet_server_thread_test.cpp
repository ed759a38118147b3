// The listener, its thread and sessions over real loopback connections.

#include "transport/packet_server_thread.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "transport/ip_access_list.h"
#include "transport/packet.h"
#include "transport/packet_server.h"
#include "transport_test_support.h"

namespace norla_server {
namespace {

using namespace transport_test;

Bytes Flipped(Bytes bytes) {
  for (auto& b : bytes) b = static_cast<unsigned char>(~b);
  return bytes;
}

class ServerThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gdqDenyIP.clear();
    gdqAllowIP.clear();
    port_ = FreePort();
  }

  void TearDown() override {
    StopServer();
    gdqDenyIP.clear();
    gdqAllowIP.clear();
  }

  // Inverts every body byte; declines bodies starting with 0xEE; throws for
  // bodies starting with 0xFE (std::runtime_error) or 0xFF (an int).
  PacketHandler FlipHandler() {
    return [this](unsigned char* body, unsigned long length, std::string const& peer) {
      ++calls_;
      {
        std::lock_guard<std::mutex> lock(peerMutex_);
        lastPeer_ = peer;
      }
      if (body[0] == 0xFE) throw std::runtime_error("handler fault");
      if (body[0] == 0xFF) throw 42;
      if (body[0] == 0xEE) return false;
      for (unsigned long i = 0; i < length; ++i) body[i] = static_cast<unsigned char>(~body[i]);
      return true;
    };
  }

  void StartServer(PacketHandler handler, std::chrono::milliseconds deadline = kSessionDeadline) {
    unsigned int code = 0;
    server_.reset(KPacketServerThread::Start(port_, std::move(handler), code, deadline));
    ASSERT_NE(server_, nullptr) << "code " << code;
    ASSERT_EQ(code, 0u);
  }

  void StopServer() {
    if (!server_) return;
    server_->PostStop();
    server_->Join(0);
    server_.reset();
  }

  // One connection: send `bytes`, read until the server closes.
  Received Exchange(Bytes const& bytes, char const* from = "127.0.0.1") {
    LoopbackClient client(port_, from);
    EXPECT_TRUE(client.connected());
    EXPECT_TRUE(client.Send(bytes));
    return client.ReadUntilClosed();
  }

  std::string LastPeer() {
    std::lock_guard<std::mutex> lock(peerMutex_);
    return lastPeer_;
  }

  unsigned short port_ = 0;
  std::unique_ptr<KPacketServerThread> server_;
  std::atomic<int> calls_{0};
  std::mutex peerMutex_;
  std::string lastPeer_;
};

TEST_F(ServerThreadTest, AnswersOneFrameAndCloses) {
  StartServer(FlipHandler());
  Bytes const body = DeliverableBody(512);
  Bytes request = MakeFrame(body);
  Bytes const second = MakeFrame(DeliverableBody(16, 5));
  request.insert(request.end(), second.begin(), second.end());  // never read

  Received const received = Exchange(request);
  EXPECT_TRUE(received.closed);
  EXPECT_EQ(received.bytes, MakeFrame(Flipped(body)));
  EXPECT_EQ(calls_.load(), 1);
  EXPECT_EQ(LastPeer(), "127.0.0.1");  // dotted, although the listener is IPv6
}

TEST_F(ServerThreadTest, FrameInSmallPiecesIsAnsweredTheSame) {
  StartServer(FlipHandler());
  Bytes const body = DeliverableBody(100, 3);
  LoopbackClient client(port_);
  ASSERT_TRUE(client.SendInPieces(MakeFrame(body), 3));
  Received const received = client.ReadUntilClosed();
  EXPECT_TRUE(received.closed);
  EXPECT_EQ(received.bytes, MakeFrame(Flipped(body)));
}

TEST_F(ServerThreadTest, LargestBodyIsServed) {
  StartServer(FlipHandler());
  Bytes const body = DeliverableBody(1024);
  EXPECT_EQ(Exchange(MakeFrame(body)).bytes, MakeFrame(Flipped(body)));
}

// Dropped frames get no reply, and the connection ends at once instead of
// lingering until the peer or the deadline ends it.
TEST_F(ServerThreadTest, DroppedFramesCloseAtOnce) {
  StartServer(FlipHandler());
  Bytes zeroChecksum = MakeFrame(DeliverableBody(32));
  zeroChecksum[2] = zeroChecksum[3] = 0;
  Bytes mismatch = MakeFrame(DeliverableBody(32));
  mismatch[8] ^= 1;
  Bytes declined = DeliverableBody(32);
  declined[0] = 0xEE;

  struct Case {
    char const* name;
    Bytes frame;
    int handlerCalls;
  };
  Case const cases[] = {
      {"1025-byte body", MakeFrame(DeliverableBody(1025)), 0},
      {"zero checksum field", zeroChecksum, 0},
      {"checksum mismatch", mismatch, 0},
      {"handler declined", MakeFrame(declined), 1},
  };
  for (Case const& c : cases) {
    calls_ = 0;
    Received const received = Exchange(c.frame);
    EXPECT_TRUE(received.closed) << c.name;  // within 10 s; the deadline is 30 s
    EXPECT_TRUE(received.bytes.empty()) << c.name;
    EXPECT_EQ(calls_.load(), c.handlerCalls) << c.name;
  }
}

TEST_F(ServerThreadTest, DeadlineClosesStalledPeersSilently) {
  LogCapture log;
  StartServer(FlipHandler(), std::chrono::milliseconds(300));
  Bytes const frame = MakeFrame(DeliverableBody(64));

  struct Case {
    char const* name;
    std::size_t bytesSent;
  };
  Case const cases[] = {
      {"nothing", 0}, {"half a header", 2}, {"header only", 4}, {"part of the body", 40}};
  for (Case const& c : cases) {
    LoopbackClient client(port_);
    ASSERT_TRUE(client.Send(Bytes(frame.begin(), frame.begin() + c.bytesSent))) << c.name;
    Received const received = client.ReadUntilClosed();
    EXPECT_TRUE(received.closed) << c.name;
    EXPECT_TRUE(received.bytes.empty()) << c.name;
  }
  EXPECT_EQ(calls_.load(), 0);
  EXPECT_TRUE(log.Lines().empty());

  // A client that sends its frame at once is not affected.
  EXPECT_EQ(Exchange(frame).bytes.size(), frame.size());
}

TEST_F(ServerThreadTest, HandlerExceptionEndsOnlyItsConnection) {
  LogCapture log;
  StartServer(FlipHandler());
  Bytes standard = DeliverableBody(32);
  standard[0] = 0xFE;
  Bytes other = DeliverableBody(32);
  other[0] = 0xFF;

  struct Case {
    Bytes body;
    char const* line;
  };
  Case const cases[] = {{standard, "Exception: handler fault"}, {other, "Unknown Exception"}};
  for (Case const& c : cases) {
    testing::internal::CaptureStderr();
    Received const received = Exchange(MakeFrame(c.body));
    EXPECT_TRUE(log.WaitForLine(c.line)) << c.line;
    std::string const errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find(std::string(c.line) + "\n"), std::string::npos) << errors;
    EXPECT_TRUE(received.closed) << c.line;
    EXPECT_TRUE(received.bytes.empty()) << c.line;

    // The listener still serves.
    Bytes const body = DeliverableBody(48);
    EXPECT_EQ(Exchange(MakeFrame(body)).bytes, MakeFrame(Flipped(body))) << c.line;
  }
  EXPECT_FALSE(server_->Ended());
}

TEST_F(ServerThreadTest, PortInUseFailsWithItsLogLine) {
  LogCapture log;
  StartServer(FlipHandler());
  unsigned int code = 0;
  std::unique_ptr<KPacketServerThread> second(
      KPacketServerThread::Start(port_, FlipHandler(), code));
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(code, kStartSocketOpenFailed);
  ASSERT_TRUE(WaitFor([&] { return !log.Lines().empty(); }));
  EXPECT_EQ(log.Lines().front().rfind("Socket open failed / Exception: bind: ", 0), 0u)
      << log.Lines().front();
}

TEST_F(ServerThreadTest, PortIsTakenFromTheLow16Bits) {
  LogCapture log;
  for (int zeroLowBits : {65536, 131072}) {
    unsigned int code = 0;
    std::unique_ptr<KPacketServerThread> failed(
        KPacketServerThread::Start(zeroLowBits, FlipHandler(), code));
    EXPECT_EQ(failed, nullptr) << zeroLowBits;
    EXPECT_EQ(code, kStartSocketOpenFailed) << zeroLowBits;
  }
  ASSERT_TRUE(WaitFor([&] { return log.Lines().size() == 2; }));
  EXPECT_EQ(log.Lines()[0].rfind("Socket open failed / Exception: ", 0), 0u) << log.Lines()[0];

  unsigned int code = 0;
  server_.reset(KPacketServerThread::Start(port_ + 65536, FlipHandler(), code));
  ASSERT_NE(server_, nullptr) << code;
  Bytes const body = DeliverableBody(16);
  EXPECT_EQ(Exchange(MakeFrame(body)).bytes, MakeFrame(Flipped(body)));
}

TEST_F(ServerThreadTest, PostStopEndsTheThreadAndClosesTheListener) {
  StartServer(FlipHandler());
  ASSERT_TRUE(PortAcceptsConnections(port_));
  EXPECT_FALSE(server_->Ended());
  server_->PostStop();
  server_->Join(0);
  EXPECT_TRUE(server_->Ended());
  EXPECT_FALSE(PortAcceptsConnections(port_));
}

TEST_F(ServerThreadTest, JoinGivesUpAfterItsTimeLimit) {
  Gate gate;
  StartServer([&](unsigned char*, unsigned long, std::string const&) {
    gate.Block();
    return false;
  });
  LoopbackClient client(port_);
  ASSERT_TRUE(client.Send(MakeFrame(DeliverableBody(16))));
  ASSERT_TRUE(gate.WaitUntilBlocked());

  server_->PostStop();
  auto const start = std::chrono::steady_clock::now();
  server_->Join(200);
  auto const waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 150ms);
  EXPECT_LT(waited, 5s);
  EXPECT_FALSE(server_->Ended());

  gate.Release();
  server_->Join(0);
  EXPECT_TRUE(server_->Ended());
}

TEST_F(ServerThreadTest, ConnectThenRefusedInOrder) {
  EventRecorder events;
  gdqDenyIP = {"*"};
  gdqAllowIP = {"127.0.0.2"};
  StartServer(FlipHandler());
  server_->SetEventHandler(&events);

  Bytes const body = DeliverableBody(32);
  EXPECT_EQ(Exchange(MakeFrame(body), "127.0.0.2").bytes, MakeFrame(Flipped(body)));
  Received const refused = Exchange(MakeFrame(body), "127.0.0.3");
  EXPECT_TRUE(refused.closed);
  EXPECT_TRUE(refused.bytes.empty());
  EXPECT_EQ(calls_.load(), 1);
  EXPECT_EQ(events.Events(), (std::vector<std::string>{"connect 127.0.0.2", "connect 127.0.0.3",
                                                       "refused 127.0.0.3"}));

  // Without an event handler the decision is the same and nothing is reported.
  server_->SetEventHandler(nullptr);
  EXPECT_TRUE(Exchange(MakeFrame(body), "127.0.0.3").bytes.empty());
  EXPECT_EQ(Exchange(MakeFrame(body), "127.0.0.2").bytes, MakeFrame(Flipped(body)));
  EXPECT_EQ(events.Events().size(), 3u);
}

TEST_F(ServerThreadTest, IPv6PeersKeepTheirText) {
  EventRecorder events;
  gdqDenyIP = {"::1"};
  gdqAllowIP = {"127.0.0.1"};
  StartServer(FlipHandler());
  server_->SetEventHandler(&events);
  Received const refused = Exchange(MakeFrame(DeliverableBody(16)), "::1");
  EXPECT_TRUE(refused.closed);
  EXPECT_TRUE(refused.bytes.empty());
  EXPECT_EQ(events.Events(), (std::vector<std::string>{"connect ::1", "refused ::1"}));

  // The lists are only read on the server thread; change them between runs.
  StopServer();
  gdqDenyIP = {"*"};
  gdqAllowIP = {"::1"};
  StartServer(FlipHandler());
  Bytes const body = DeliverableBody(16);
  EXPECT_EQ(Exchange(MakeFrame(body), "::1").bytes, MakeFrame(Flipped(body)));
  EXPECT_EQ(LastPeer(), "::1");
}

// Signals are for the host's own threads: the server thread has them all
// blocked, and Start leaves the caller's mask as it was.
TEST_F(ServerThreadTest, ServerThreadBlocksSignals) {
  std::atomic<int> termBlocked{-1};
  std::atomic<int> intBlocked{-1};
  StartServer([&](unsigned char*, unsigned long, std::string const&) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    termBlocked = sigismember(&mask, SIGTERM);
    intBlocked = sigismember(&mask, SIGINT);
    return false;
  });
  Exchange(MakeFrame(DeliverableBody(16)));
  EXPECT_EQ(termBlocked.load(), 1);
  EXPECT_EQ(intBlocked.load(), 1);

  sigset_t mine;
  pthread_sigmask(SIG_BLOCK, nullptr, &mine);
  EXPECT_EQ(sigismember(&mine, SIGTERM), 0);
}

// A host whose OnConnect throws loses that connection, not the listener.
class ThrowingEvents final : public INorlaEventHandler {
 public:
  void OnPing() override {}
  void OnLogin(char const*, char const*) override {}
  void OnLogout(char const*, char const*, bool) override {}
  void OnCountUp(char const*, char const*) override {}
  void OnCountDown(char const*, char const*) override {}
  void OnAlive(char const*, char const*) override {}
  void OnKilled(char const*) override {}
  void OnConnect(char const*) override {
    if (throwNext.exchange(false)) throw std::runtime_error("host fault");
  }
  void OnConnectRefused(char const*) override {}
  std::atomic<bool> throwNext{true};
};

TEST_F(ServerThreadTest, EventHandlerExceptionEndsOnlyItsConnection) {
  LogCapture log;
  ThrowingEvents events;
  StartServer(FlipHandler());
  server_->SetEventHandler(&events);
  testing::internal::CaptureStderr();
  Bytes const body = DeliverableBody(32);
  EXPECT_TRUE(Exchange(MakeFrame(body)).bytes.empty());
  EXPECT_TRUE(log.WaitForLine("Exception: host fault"));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(Exchange(MakeFrame(body)).bytes, MakeFrame(Flipped(body)));
}

TEST(AcceptRetryDelay, PausesOnlyWhenOutOfResources) {
  using boost::system::error_code;
  using boost::system::system_category;
  struct Case {
    error_code error;
    long long delayMs;
  };
  Case const cases[] = {
      {error_code(EMFILE, system_category()), 100},
      {error_code(ENFILE, system_category()), 100},
      {error_code(ENOBUFS, system_category()), 100},
      {error_code(ENOMEM, system_category()), 100},
      {error_code(ECONNABORTED, system_category()), 0},
      {error_code(EPERM, system_category()), 0},
      {error_code(EMFILE, boost::system::generic_category()), 100},
      {boost::asio::error::eof, 0},  // same number as EPERM, other category
  };
  for (Case const& c : cases) {
    EXPECT_EQ(KPacketServer::AcceptRetryDelay(c.error).count(), c.delayMs) << c.error.message();
  }
}

// Out of descriptors, the pending connection waits in the backlog; once
// descriptors are free again it is served.
TEST_F(ServerThreadTest, ServesAgainAfterRunningOutOfDescriptors) {
  StartServer(FlipHandler());
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 512);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

  std::vector<int> fillers;
  Bytes const body = DeliverableBody(32);
  Received received;
  {
    LoopbackClient client(port_, "127.0.0.1", LoopbackClient::kConnectLater);
    int const spare = open("/dev/null", O_RDONLY);
    ASSERT_GE(spare, 0);
    fillers.push_back(spare);
    for (int fd; (fd = dup(spare)) >= 0;) fillers.push_back(fd);
    EXPECT_EQ(errno, EMFILE);
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Send(MakeFrame(body)));
    // Give the server time to meet the failing accept; nothing observable
    // marks that moment.
    std::this_thread::sleep_for(300ms);
    for (int fd : fillers) close(fd);
    received = client.ReadUntilClosed();
  }
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(received.bytes, MakeFrame(Flipped(body)));
}

}  // namespace
}  // namespace norla_server
