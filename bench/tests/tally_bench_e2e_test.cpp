// tally-bench against the real daemon: the whole run, including the
// CurrentClients check, must come out clean.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/daemon_process.h"

namespace {

using namespace tally_test;

std::string ResultLine(DaemonProcess& process) {
  for (std::string const& line : process.Lines(Stream::kStdout)) {
    if (line.rfind("RESULT ", 0) == 0) return line;
  }
  return "";
}

TEST(TallyBenchE2eTest, MixedLoadLeavesTheTableAsItWas) {
  TempDir dir;
  unsigned short port = FreeTcpPort();
  auto daemon = StartStandaloneDaemon(port, dir.path());
  ASSERT_TRUE(daemon);

  // A client of someone else's stays registered throughout: the check must
  // measure from it, not from zero.
  ProcessOptions login;
  login.program = TALLY_CLIENT_PATH;
  login.args = {"--port", std::to_string(port), "login", "--unique", "other", "--app", "a"};
  DaemonProcess client(login);
  ASSERT_TRUE(client.Start());
  ASSERT_EQ(client.WaitExit(), 0);

  ProcessOptions bench;
  bench.program = TALLY_BENCH_PATH;
  bench.args = {"--port", std::to_string(port), "--concurrency", "4", "--ids", "40",
                "--duration", "1", "--warmup", "0.2", "--mix", "3:2:3:1"};
  DaemonProcess run(bench);
  ASSERT_TRUE(run.Start());
  EXPECT_EQ(run.WaitExit(std::chrono::seconds(60)), 0) << run.Output(Stream::kStdout)
                                                       << run.Output(Stream::kStderr);
  std::string result = ResultLine(run);
  EXPECT_NE(result.find("errors=0"), std::string::npos) << result;
  EXPECT_NE(result.find("consistent=yes"), std::string::npos) << result;
  EXPECT_EQ(result.find("replies=0 "), std::string::npos) << result;
  EXPECT_TRUE(run.WaitForLine("current clients  before 1,", std::chrono::seconds(1)))
      << run.Output(Stream::kStdout);
}

TEST(TallyBenchE2eTest, ReportsADaemonThatIsNotThere) {
  ProcessOptions bench;
  bench.program = TALLY_BENCH_PATH;
  bench.args = {"--port", std::to_string(FreeTcpPort()), "--duration", "0.2", "--warmup", "0"};
  DaemonProcess run(bench);
  ASSERT_TRUE(run.Start());
  EXPECT_EQ(run.WaitExit(), 1);
  EXPECT_TRUE(run.WaitForLine("cannot connect", std::chrono::seconds(1), Stream::kStderr))
      << run.Output(Stream::kStderr);
}

}  // namespace
