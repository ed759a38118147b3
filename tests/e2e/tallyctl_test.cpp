// The real tallyctl against the real daemon: its exit statuses and a release
// the client notices.

#include <gtest/gtest.h>
#include <signal.h>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "protocol/protocol_constants.h"
#include "tests/support/daemon_process.h"
#include "tests/support/root_sandbox.h"

namespace {

using namespace tally_test;

struct CtlResult {
  int status;
  std::string out;
};

CtlResult RunTallyctl(std::vector<std::string> args) {
  ProcessOptions options;
  options.program = TALLYCTL_PATH;
  options.args = std::move(args);
  DaemonProcess ctl(options);
  if (!ctl.Start()) return {-1, ""};
  int const status = ctl.WaitExit();
  return {status, ctl.Output(Stream::kStdout) + ctl.Output(Stream::kStderr)};
}

TEST(TallyctlTest, StatusListShowReleaseAndUnreachable) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to write under /etc/opt";
  unsigned short const port = FreeTcpPort(), adminPort = FreeTcpPort();
  std::string const admin = "http://127.0.0.1:" + std::to_string(adminPort);
  ConfigDataDir config("[tallyd]\nadmin-listen = 127.0.0.1:" + std::to_string(adminPort) + "\n");
  TempDir work;
  auto daemon = StartStandaloneDaemon(port, work.path(), {"--datadir", config.name()});
  ASSERT_NE(daemon, nullptr);
  ASSERT_TRUE(daemon->WaitForLine("Admin interface on", 10s, Stream::kStdout));

  tally::ClientOptions client;
  client.port = port;
  std::string const id = "ctl+e2e/1";
  ASSERT_EQ(tally::SendCommand(client, norla::kNorlaLogin, tally::kProductId, id, "app").reply.code,
            200);

  std::tuple<std::vector<std::string>, int, std::string> const cases[] = {
      {{"status"}, 0, "current_clients:"},
      {{"list", "--json"}, 0, "\"unique_id\": \"" + id + "\""},
      {{"show", "nobody"}, 1, "HTTP 404 no such client"},
      {{"release", id}, 0, "released:"},
      {{"--admin", "http://127.0.0.1:" + std::to_string(FreeTcpPort()), "status"}, 3, "cannot"},
  };
  for (auto const& [args, status, text] : cases) {
    std::vector<std::string> full = {"--admin", admin};
    full.insert(full.end(), args.begin(), args.end());
    CtlResult const result = RunTallyctl(full);
    EXPECT_EQ(result.status, status) << args[0] << "\n" << result.out;
    EXPECT_NE(result.out.find(text), std::string::npos) << args[0] << "\n" << result.out;
  }
  EXPECT_EQ(tally::SendCommand(client, norla::kNorlaExit, tally::kProductId, id, "app").reply.code,
            303);
  daemon->Signal(SIGINT);
  EXPECT_EQ(daemon->WaitExit(), 0);
}

}  // namespace
