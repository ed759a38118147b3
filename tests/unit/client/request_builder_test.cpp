#include "client/request_builder.h"

#include <gtest/gtest.h>

#include <ctime>
#include <cstdio>

namespace {

TEST(NorlaCreatePacket, WritesEveryLineInOrder) {
  std::string text;
  std::time_t before = std::time(nullptr);
  ASSERT_TRUE(norla::NorlaCreatePacket(norla::kNorlaLogin, "prod", "uid-1", "app 2", text));
  std::time_t after = std::time(nullptr);

  std::string const head =
      "NORLA LOGIN TALLYREQ1\r\nProductID: prod\r\nUniqueID: uid-1\r\nAppID: app 2\r\n";
  ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
  std::string const tail = text.substr(head.size());
  std::tm stamp{};
  int consumed = 0;
  ASSERT_EQ(std::sscanf(tail.c_str(), "Date: %4d/%2d/%2d\r\nTime: %2d:%2d:%2d\r\n\r\n%n",
                        &stamp.tm_year, &stamp.tm_mon, &stamp.tm_mday, &stamp.tm_hour,
                        &stamp.tm_min, &stamp.tm_sec, &consumed),
            6)
      << tail;
  EXPECT_EQ(tail.size(), std::string("Date: 2026/12/06\r\nTime: 09:38:48\r\n\r\n").size());
  EXPECT_EQ(static_cast<std::size_t>(consumed), tail.size());

  // The date and time are the current UTC ones.
  stamp.tm_year -= 1900;
  stamp.tm_mon -= 1;
  std::time_t written = timegm(&stamp);
  EXPECT_GE(written, before);
  EXPECT_LE(written, after);
}

TEST(NorlaCreatePacket, CommandNumbers) {
  char const* words[] = {"PING", "LOGIN", "ALIVE", "EXIT"};
  for (int command = -1; command <= 4; ++command) {
    std::string text = "untouched";
    bool const known = command >= 0 && command < 4;
    EXPECT_EQ(norla::NorlaCreatePacket(command, "p", "u", "a", text), known) << command;
    std::string const head =
        known ? std::string("NORLA ") + words[command] + " TALLYREQ1\r\n" : "untouched";
    EXPECT_EQ(known ? text.substr(0, head.size()) : text, head) << command;
  }
}

}  // namespace
