#include "client/request_builder.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>

namespace {

TEST(NorlaCreatePacket, WritesEveryLineInOrder) {
  std::string text;
  std::time_t before = std::time(nullptr);
  ASSERT_TRUE(norla::NorlaCreatePacket(norla::kNorlaLogin, "prod", "uid-1", "app 2", text));
  std::time_t after = std::time(nullptr);

  std::smatch m;
  std::regex layout(
      "NORLA LOGIN (\\S{9})\r\nProductID: prod\r\nUniqueID: uid-1\r\nAppID: app 2\r\n"
      "Date: (\\d{4})/(\\d{2})/(\\d{2})\r\nTime: (\\d{2}):(\\d{2}):(\\d{2})\r\n\r\n");
  ASSERT_TRUE(std::regex_match(text, m, layout)) << text;

  // The date and time are the current UTC ones.
  std::tm stamp{};
  stamp.tm_year = std::stoi(m[2]) - 1900;
  stamp.tm_mon = std::stoi(m[3]) - 1;
  stamp.tm_mday = std::stoi(m[4]);
  stamp.tm_hour = std::stoi(m[5]);
  stamp.tm_min = std::stoi(m[6]);
  stamp.tm_sec = std::stoi(m[7]);
  std::time_t written = timegm(&stamp);
  EXPECT_GE(written, before);
  EXPECT_LE(written, after);
}

TEST(NorlaCreatePacket, CommandNumbers) {
  char const* words[] = {"PING", "LOGIN", "ALIVE", "EXIT"};
  for (int command = -1; command <= 4; ++command) {
    std::string text = "untouched";
    bool known = command >= 0 && command < 4;
    EXPECT_EQ(norla::NorlaCreatePacket(command, "p", "u", "a", text), known) << command;
    if (!known) {
      EXPECT_EQ(text, "untouched");
    } else {
      EXPECT_EQ(text.rfind(std::string("NORLA ") + words[command] + " TALLYREQ1\r\n", 0), 0u);
    }
  }
}

}  // namespace
