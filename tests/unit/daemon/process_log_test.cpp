#include "daemon/process_log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "server/norla_server.h"

namespace {

TEST(ConsoleEcho, WholeLinesOnTheStreamOfTheirPriority) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  g_logToConsole = true;
  NorlaInitializeLog(mysyslog);  // as tallyd: the stream's writer hands lines back
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  for (char c : {'a', 'b', 'c', 'd'}) {
    threads.emplace_back([c, &ready] {  // 700 bytes: beyond the formatting buffer
      int const priority = c == 'd' ? LOG_CRIT : LOG_INFO;
      for (++ready; ready < 4;) std::this_thread::yield();  // all at once
      for (int i = 0; i < 500; ++i) mysyslog(priority, "%s", std::string(700, c).c_str());
    });
  }
  for (auto& t : threads) t.join();
  mysyslog(LOG_ERR, "%s", "100% error");  // only priority 3 goes to standard error
  ASSERT_TRUE(NorlaLogFlush(10000));
  NorlaInitializeLog(nullptr);
  g_logToConsole = false;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "100% error\n");
  std::istringstream printed(testing::internal::GetCapturedStdout() + "end");
  int count = 0;
  for (std::string line; std::getline(printed, line) && line != "end"; ++count) {
    ASSERT_EQ(line, std::string(700, line[0])) << count;
  }
  EXPECT_EQ(count, 2000);
}

}  // namespace
