// The state file on the real binary: the register across an orderly stop and
// a kill, a bad file moved aside, and a second daemon kept off the file.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <nlohmann/json.hpp>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "protocol/protocol_constants.h"
#include "tests/support/admin_http.h"
#include "tests/support/daemon_process.h"
#include "tests/support/root_sandbox.h"

namespace {

using namespace tally_test;

bool WaitUntil(std::function<bool()> const& condition,
               std::chrono::milliseconds poll = 20ms) {
  auto const deadline = std::chrono::steady_clock::now() + 15s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

// `tallyctl report --by app --csv ARGS`: its output when it succeeded, else "".
std::string Report(std::vector<std::string> args) {
  ProcessOptions options;
  options.program = TALLYCTL_PATH;
  options.args = {"report", "--by", "app", "--csv"};
  options.args.insert(options.args.end(), args.begin(), args.end());
  DaemonProcess ctl(options);
  if (!ctl.Start() || ctl.WaitExit() != 0) return "";
  return ctl.Output(Stream::kStdout);
}

class StateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to write under /etc/opt";
    adminPort_ = FreeTcpPort();
    config_ = ConfigWithStateFile(state_);
  }

  std::unique_ptr<ConfigDataDir> ConfigWithStateFile(std::string const& state) const {
    return std::make_unique<ConfigDataDir>("[tallyd]\nadmin-listen = 127.0.0.1:" +
                                           std::to_string(adminPort_) +
                                           "\nstate-file = " + state + "\n");
  }

  std::unique_ptr<DaemonProcess> Start(unsigned short port) {
    return StartStandaloneDaemon(port, work_.path(), {"--datadir", config_->name()});
  }

  // tallyd in a mount namespace of its own, where a small tmpfs mounted with
  // `mountOptions` at disk_ holds the directory of its state file, diskState_.
  std::unique_ptr<DaemonProcess> StartOnOwnDisk(std::string const& mountOptions,
                                                unsigned short port) {
    std::filesystem::create_directory(disk_);
    diskConfig_ = ConfigWithStateFile(diskState_);
    ProcessOptions options;
    options.wrapper = {"unshare", "--mount", "--propagation", "private", "sh", "-c",
                       "mount -t tmpfs -o " + mountOptions + " tmpfs " + disk_ + " && exec \"$@\"",
                       "sh"};
    options.args = {"--standalone", "--port", std::to_string(port), "--datadir",
                    diskConfig_->name()};
    options.workDir = work_.path();
    auto daemon = std::make_unique<DaemonProcess>(options);
    if (!daemon->Start() || !daemon->WaitForLine("ServiceStart")) return nullptr;
    return daemon;
  }

  static tally::TReply Send(unsigned short port, int command, std::string const& id) {
    tally::ClientOptions options;
    options.port = port;
    return tally::SendCommand(options, command, tally::kProductId, id, "app").reply;
  }

  // Events of `id` the admin interface reads from the file; -1 when it cannot.
  int EventsOf(std::string const& id) const {
    HttpReply const reply =
        Http(adminPort_, "GET", "/api/v1/events?unique_id=" + id,
             "Host: 127.0.0.1:" + std::to_string(adminPort_) + "\r\n");
    if (reply.status != 200) return -1;
    return static_cast<int>(nlohmann::json::parse(reply.body)["events"].size());
  }

  TempDir work_;
  std::string const state_ = work_.path() + "/state.db";
  unsigned short adminPort_ = 0;
  std::unique_ptr<ConfigDataDir> config_;
  std::string const disk_ = work_.path() + "/disk", diskState_ = disk_ + "/state.db";
  std::unique_ptr<ConfigDataDir> diskConfig_;
};

TEST_F(StateFileTest, OrderlyStopKeepsTheRegisterWithoutNewConnectLines) {
  unsigned short const port = FreeTcpPort(), restartPort = FreeTcpPort();
  auto first = Start(port);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(Send(port, norla::kNorlaLogin, "kept").code, 200);
  ASSERT_EQ(Send(port, norla::kNorlaLogin, "kept").code, 200);
  first->Signal(SIGTERM);
  ASSERT_NE(first->WaitExit(), -1);

  auto second = Start(restartPort);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(second->WaitForLine("Restored 1 clients from " + state_));
  tally::TReply const exit = Send(restartPort, norla::kNorlaExit, "kept");
  EXPECT_EQ(exit.code, 200);
  EXPECT_EQ(exit.currentClients, 1u);
  HttpReply const status = Http(adminPort_, "GET", "/api/v1/status",
                                "Host: 127.0.0.1:" + std::to_string(adminPort_) + "\r\n");
  EXPECT_EQ(nlohmann::json::parse(status.body)["peak_clients"], 1) << status.body;
  auto const lines = second->Lines();
  EXPECT_TRUE(std::none_of(lines.begin(), lines.end(),
                           [](std::string const& line) { return line.rfind("Connect", 0) == 0; }));
}

// Killed under a stream of LOGINs: every client acknowledged more than 2 s
// before the kill is back after the restart (batches go out every second).
TEST_F(StateFileTest, KillUnderLoadLosesNothingAcknowledgedTwoSecondsBefore) {
  using Clock = std::chrono::steady_clock;
  unsigned short const port = FreeTcpPort(), restartPort = FreeTcpPort();
  auto first = Start(port);
  ASSERT_NE(first, nullptr);
  std::vector<std::pair<std::string, Clock::time_point>> acked;
  std::mutex mutex;
  std::atomic<bool> loading{true};
  std::thread load([&] {
    for (int i = 0; loading; ++i) {
      std::string const id = "load-" + std::to_string(i);
      if (Send(port, norla::kNorlaLogin, id).code != 200) continue;
      std::lock_guard<std::mutex> lock(mutex);
      acked.emplace_back(id, Clock::now());
    }
  });
  auto const oldEnough = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !acked.empty() && Clock::now() - acked.front().second > 3s;
  };
  ASSERT_TRUE(WaitUntil(oldEnough));
  first->Signal(SIGKILL);
  auto const killed = Clock::now();
  loading = false;
  load.join();
  ASSERT_EQ(first->WaitExit(), 128 + SIGKILL);

  auto second = Start(restartPort);
  ASSERT_NE(second, nullptr);
  ProcessOptions list;
  list.program = TALLYCTL_PATH;
  list.args = {"--admin", "http://127.0.0.1:" + std::to_string(adminPort_), "list", "--json",
               "--limit", "1000000"};
  DaemonProcess ctl(list);
  ASSERT_TRUE(ctl.Start());
  ASSERT_EQ(ctl.WaitExit(), 0);
  std::set<std::string> restored;
  auto const listed = nlohmann::json::parse(ctl.Output(Stream::kStdout));
  for (auto const& client : listed["clients"]) {
    restored.insert(client["unique_id"].get<std::string>());
  }
  std::size_t due = 0;
  for (auto const& [id, when] : acked) {
    if (killed - when <= 2s) break;
    ++due;
    EXPECT_EQ(restored.count(id), 1u) << id << " acknowledged "
        << std::chrono::duration_cast<std::chrono::milliseconds>(killed - when).count()
        << " ms before the kill";
  }
  EXPECT_GT(due, 0u);
}

TEST_F(StateFileTest, BadFileIsMovedAsideAndTheServiceStartsEmpty) {
  work_.WriteFile("state.db", std::string(10000, 'x'));
  unsigned short const port = FreeTcpPort();
  auto daemon = Start(port);
  ASSERT_NE(daemon, nullptr);
  EXPECT_TRUE(daemon->WaitForLine("moved aside to " + state_ + ".corrupt-", 10s, Stream::kStderr));
  EXPECT_TRUE(daemon->WaitForLine("Restored 0 clients"));
  auto const files = std::filesystem::directory_iterator(work_.path());
  EXPECT_EQ(std::count_if(begin(files), end(files),
                          [&](auto const& file) {
                            return file.path().string().rfind(state_ + ".corrupt-", 0) == 0;
                          }),
            1);
  EXPECT_EQ(Send(port, norla::kNorlaLogin, "new").code, 200);
}

// A read-only directory at start: one error line, and the service runs from memory.
TEST_F(StateFileTest, ReadOnlyDirectoryRunsWithoutTheFile) {
  unsigned short const port = FreeTcpPort();
  auto daemon = StartOnOwnDisk("ro", port);
  ASSERT_NE(daemon, nullptr);
  EXPECT_TRUE(
      daemon->WaitForLine("State file " + diskState_ + ": cannot open", 10s, Stream::kStderr));
  EXPECT_EQ(Send(port, norla::kNorlaLogin, "memory-only").code, 200);
  daemon->Signal(SIGINT);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

// The file on a disk that fills up: one error line, requests served from
// memory, and the held changes written once there is room again.
TEST_F(StateFileTest, FullDiskThenRoomAgain) {
  unsigned short const port = FreeTcpPort();
  auto started = StartOnOwnDisk("size=1m", port);
  ASSERT_NE(started, nullptr);
  DaemonProcess& daemon = *started;
  auto const inside = [&](std::string const& command) {
    return std::system(("nsenter --mount=/proc/" + std::to_string(daemon.pid()) +
                        "/ns/mnt -- sh -c '" + command + "' 2>/dev/null").c_str());
  };
  inside("cat /dev/zero > " + disk_ + "/filler");  // ends when the disk is full
  EXPECT_EQ(Send(port, norla::kNorlaLogin, "held").code, 200);
  EXPECT_TRUE(
      daemon.WaitForLine("State file " + diskState_ + ": cannot write (", 10s, Stream::kStderr));
  EXPECT_EQ(Send(port, norla::kNorlaLogin, "held").code, 200);  // served from memory
  ASSERT_EQ(inside("rm " + disk_ + "/filler"), 0);
  EXPECT_TRUE(daemon.WaitForLine("State file " + diskState_ + " written again"));
  EXPECT_EQ(EventsOf("held"), 1);
  EXPECT_EQ(daemon.Output(Stream::kStderr).find("cannot write", daemon.Output(Stream::kStderr)
                                                                     .find("cannot write") + 1),
            std::string::npos);  // one line for the whole episode
  daemon.Signal(SIGINT);
  EXPECT_EQ(daemon.WaitExit(), 0);
}

TEST_F(StateFileTest, SecondDaemonOnTheFileRunsWithoutIt) {
  unsigned short const port = FreeTcpPort(), secondPort = FreeTcpPort();
  auto first = Start(port);
  ASSERT_NE(first, nullptr);
  auto second = Start(secondPort);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(second->WaitForLine(
      "State file " + state_ + ": in use by another process; running without it", 10s,
      Stream::kStderr));
  EXPECT_EQ(Send(secondPort, norla::kNorlaLogin, "second").code, 200);
  EXPECT_EQ(Send(port, norla::kNorlaLogin, "first").code, 200);
  // The first keeps writing; the second's client never reaches the file.
  EXPECT_TRUE(WaitUntil([&] { return EventsOf("first") == 1; }));
  EXPECT_EQ(EventsOf("second"), 0);
}

TEST_F(StateFileTest, ReportFromTheDaemonAndFromTheFileWhileItIsDown) {
  unsigned short const port = FreeTcpPort();
  auto daemon = Start(port);
  ASSERT_NE(daemon, nullptr);
  for (char const* id : {"r1", "r2"}) ASSERT_EQ(Send(port, norla::kNorlaLogin, id).code, 200);
  // Peak, average and distinct clients of AppID "app": the daemon samples
  // every few seconds, so wait for the first sample to be written.
  std::string const row = "\napp,2,2.00,2\n";
  std::string const admin = "http://127.0.0.1:" + std::to_string(adminPort_);
  EXPECT_TRUE(WaitUntil([&] { return Report({"--admin", admin}).find(row) != std::string::npos; },
                        250ms));
  daemon->Signal(SIGTERM);
  ASSERT_NE(daemon->WaitExit(), -1);
  EXPECT_NE(Report({"--state-file", state_}).find(row), std::string::npos);
}

}  // namespace
