// A month of the service under injected clocks, carried to the state file by
// the writer and read back as a report: "a1" is there all month, "a2" the
// first half of every day, and three "b" clients one hour on the 10th.

#include "server/history_query.h"

#include <gtest/gtest.h>

#include "base/utc_time.h"
#include "server/state_writer.h"
#include "tests/support/daemon_process.h"
#include "tests/unit/server/server_test_support.h"

namespace server_test {
namespace {

using namespace norla_server;

constexpr std::time_t kDay = 86400;
constexpr int kDays = 30;

TEST_F(HandlerTest, UsageOfAMonthFromTheStateFile) {
  tally_test::TempDir dir;
  std::string const path = dir.path() + "/state.db";
  std::time_t start = 0;
  ASSERT_TRUE(tally::ParseUtcTime("2026-11-01", start));
  {
    auto opened = StateStore::Open(path, start);
    ASSERT_TRUE(opened.store) << opened.error;
    StateWriter writer(std::move(opened.store), {});
    handler_.SetTimeoutSeconds(kDays * kDay);
    handler_.SetStateWriter(&writer);
    auto const send = [&](char const* command, std::string const& id, char const* app) {
      EXPECT_EQ(handler_.ParsePacket(RequestText(command, id, app), "10.0.0.1"), 200);
    };
    for (int minute = 0; minute < kDays * 1440; ++minute) {
      now_ = mono_ = start + minute * 60;
      int const day = minute / 1440, ofDay = minute % 1440;
      if (minute == 0) send("LOGIN", "a1", "a");
      if (ofDay == 0) send("LOGIN", "a2", "a");
      if (ofDay == 720) send("EXIT", "a2", "a");
      for (char const* b : {"b1", "b2", "b3"}) {
        if (day == 9 && ofDay == 720) send("LOGIN", b, "b");
        if (day == 9 && ofDay == 780) send("EXIT", b, "b");
      }
      handler_.UpdateClients();
    }
    handler_.SetStateWriter(nullptr);
  }

  HistoryQuery query(path);
  struct Expected {
    std::time_t from, to, step;
    std::size_t periods;
    std::size_t index;  // of the period checked
    UsageFigures all, b;
  };
  std::time_t const tenth = start + 9 * kDay;
  Expected const cases[] = {
      {start, start + kDays * kDay, kDay, 30, 0, {2, 1.5, 2}, {}},
      {start, start + kDays * kDay, kDay, 30, 9, {4, 2340.0 / 1440, 5}, {3, 0.125, 3}},
      {tenth + 11 * 3600, tenth + 14 * 3600, 3600, 3, 0, {2, 2, 2}, {}},
      {tenth + 11 * 3600, tenth + 14 * 3600, 3600, 3, 1, {4, 4, 4}, {3, 3, 3}},
      {tenth + 11 * 3600, tenth + 14 * 3600, 3600, 3, 2, {1, 1, 1}, {}},
      // The month as one period: 29 days of 1.5 and the 10th.
      {start, start + kDays * kDay, kDays * kDay, 1, 0, {4, (29 * 2160 + 2340) / 43200.0, 5},
       {3, 180 / 43200.0, 3}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(std::to_string(c.step) + " period " + std::to_string(c.index));
    std::vector<UsagePeriod> periods;
    ASSERT_TRUE(query.Periods(c.from, c.to, c.step, c.step == kDays * kDay ? start : 0, periods))
        << query.Error();
    ASSERT_EQ(periods.size(), c.periods);
    UsagePeriod const& period = periods[c.index];
    EXPECT_EQ(period.start, c.from + static_cast<std::time_t>(c.index) * c.step);
    EXPECT_EQ(period.samples, static_cast<std::size_t>(c.step / 60));
    for (auto const& [got, want] : {std::pair{period.clients, c.all},
                                    std::pair{period.byApp.count("b") ? period.byApp.at("b")
                                                                      : UsageFigures{},
                                              c.b}}) {
      EXPECT_EQ(got.max, want.max);
      EXPECT_DOUBLE_EQ(got.average, want.average);
      EXPECT_EQ(got.distinct, want.distinct);
    }
  }

  std::vector<StoredEvent> events;
  ASSERT_TRUE(query.Events({0, tenth + kDay, "", "b", 0, 4}, events));
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].event, "Connect");
  EXPECT_EQ(events[0].time, tenth + 12 * 3600);
  ASSERT_TRUE(query.Events({0, tenth + kDay, "", "b", events.back().id, 4}, events));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].event, "Disconnect");
  EXPECT_EQ(std::tie(events[1].uniqueId, events[1].time),
            std::make_tuple("b3", tenth + 13 * 3600));
}

}  // namespace
}  // namespace server_test
