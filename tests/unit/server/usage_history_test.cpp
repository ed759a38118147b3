// The per-minute history: one sample a minute, a day kept, the top AppIDs.

#include "server/usage_history.h"

#include <gtest/gtest.h>

namespace norla_server {
namespace {

TEST(UsageHistoryTest, KeepsOneSampleAMinuteForADay) {
  std::int64_t seconds = 0;
  UsageHistory history({[&] { return std::time_t(seconds); }, [&] { return seconds; }});
  for (std::size_t minute = 0; minute < UsageHistory::kMinutes + 60; ++minute) {
    seconds = static_cast<std::int64_t>(minute) * 60 + 7;
    ASSERT_TRUE(history.Due());
    history.Record(minute, {});
    history.Record(99999, {});  // same minute: ignored
    EXPECT_FALSE(history.Due());
  }
  auto const day = history.Last(UsageHistory::kMinutes);
  ASSERT_EQ(day.size(), UsageHistory::kMinutes);
  EXPECT_EQ(day.front().clients, 60u);
  EXPECT_EQ(day.back().clients, UsageHistory::kMinutes + 59);
  EXPECT_EQ(day.back().time, seconds);
  EXPECT_EQ(history.Last(3).size(), 3u);
}

TEST(UsageHistoryTest, TopAppsThenOther) {
  UsageHistory::AppCounts counts = {{"other", 5}};
  for (std::size_t i = 1; i <= 150; ++i) counts.emplace_back("app" + std::to_string(i), i);
  struct {
    std::size_t top, size;
    std::pair<std::string, std::size_t> first, last;
  } const cases[] = {
      {100, 101, {"app150", 150}, {"other", 5 + 50 * 51 / 2}},
      {200, 151, {"app150", 150}, {"other", 5}},
      {0, 1, {"other", 5 + 150 * 151 / 2}, {"other", 5 + 150 * 151 / 2}},
  };
  for (auto const& c : cases) {
    auto const top = UsageHistory::Top(counts, c.top);
    ASSERT_EQ(top.size(), c.size) << c.top;
    EXPECT_EQ(top.front(), c.first) << c.top;
    EXPECT_EQ(top.back(), c.last) << c.top;
  }
}

}  // namespace
}  // namespace norla_server
