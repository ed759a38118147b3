#include "daemon/process_log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/unit/daemon/capture.h"

namespace {

class ConsoleEcho : public testing::Test {
 protected:
  void TearDown() override { g_logToConsole = false; }
};

TEST_F(ConsoleEcho, ErrorsToStandardErrorOthersToStandardOutput) {
  g_logToConsole = true;
  std::string const longText(3000, 'L');
  daemon_test::FdCapture out(1), err(2);
  mysyslog(LOG_ERR, "error %d", 3);
  mysyslog(LOG_INFO, "info %s", "six");
  mysyslog(LOG_WARNING, "warning");
  mysyslog(LOG_CRIT, "crit");
  mysyslog(LOG_INFO, "%s", longText.c_str());
  mysyslog(LOG_INFO, "%s", "100% literal");
  std::string const printedOut = out.Stop();
  std::string const printedErr = err.Stop();
  EXPECT_EQ(printedErr, "error 3\n");
  EXPECT_EQ(printedOut, "info six\nwarning\ncrit\n" + longText + "\n100% literal\n");
}

TEST_F(ConsoleEcho, OffPrintsNothing) {
  daemon_test::FdCapture out(1), err(2);
  mysyslog(LOG_ERR, "error");
  mysyslog(LOG_INFO, "info");
  EXPECT_EQ(out.Stop(), "");
  EXPECT_EQ(err.Stop(), "");
}

TEST_F(ConsoleEcho, LinesFromSeveralThreadsStayWhole) {
  g_logToConsole = true;
  daemon_test::FdCapture out(1);
  std::vector<std::thread> threads;
  for (char c : {'a', 'b', 'c', 'd'}) {
    threads.emplace_back([c] {
      std::string const line(700, c);
      for (int i = 0; i < 200; ++i) mysyslog(LOG_INFO, "%s", line.c_str());
    });
  }
  for (auto& t : threads) t.join();
  std::string const printed = out.Stop();
  std::size_t lines = 0, start = 0;
  for (std::size_t end; (end = printed.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string const line = printed.substr(start, end - start);
    ASSERT_EQ(line, std::string(700, line[0]));
    ++lines;
  }
  EXPECT_EQ(lines, 800u);
  EXPECT_EQ(start, printed.size());
}

TEST(ErrPrintf, AddsNothing) {
  daemon_test::FdCapture err(2);
  errprintf("Error : could not create daemon process.");
  errprintf("%s : %d\n", "code", 4);
  EXPECT_EQ(err.Stop(), "Error : could not create daemon process.code : 4\n");
}

}  // namespace
