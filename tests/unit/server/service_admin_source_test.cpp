#include "server/service_admin_source.h"

#include <gtest/gtest.h>

#include "tests/unit/server/server_test_support.h"

namespace server_test {
namespace {

// Without a state file the usage of a range comes from the samples in memory.
TEST_F(HandlerTest, UsageFromMemoryWithoutAStateFile) {
  norla_server::KServiceAccessLists lists;
  norla_server::KServiceAdminSource source(handler_, lists, 0);
  handler_.SetTimeoutSeconds(86400);
  std::time_t const hour = now_ - now_ % 3600;
  std::int64_t const mono = mono_;
  auto const sampleAt = [&](int minute) {
    now_ = hour + minute * 60;
    mono_ = mono + minute * 60;
    handler_.UpdateClients();
  };
  ASSERT_EQ(handler_.ParsePacket(RequestText("LOGIN", "u1", "a"), "p"), 200);
  sampleAt(0);
  ASSERT_EQ(handler_.ParsePacket(RequestText("LOGIN", "u2", "b"), "p"), 200);
  sampleAt(1);
  sampleAt(2);
  ASSERT_EQ(handler_.ParsePacket(RequestText("EXIT", "u2", "b"), "p"), 200);
  sampleAt(60);

  tally_admin::AdminUsage usage;
  std::string why;
  ASSERT_TRUE(source.Usage({hour, hour + 7200, 3600}, usage, why)) << why;
  ASSERT_EQ(usage.periods.size(), 2u);
  tally_admin::AdminPeriod const& first = usage.periods[0];
  EXPECT_EQ(std::tie(first.start, first.samples, first.clients.max),
            std::make_tuple(hour, std::size_t{3}, std::size_t{2}));
  EXPECT_DOUBLE_EQ(first.clients.average, 5.0 / 3);
  ASSERT_EQ(first.byApp.size(), 2u);
  EXPECT_EQ(first.byApp[1].first, "b");
  EXPECT_DOUBLE_EQ(first.byApp[1].second.average, 2.0 / 3);
  EXPECT_EQ(usage.periods[1].start, hour + 3600);
  EXPECT_EQ(usage.total.samples, 4u);
  EXPECT_DOUBLE_EQ(usage.total.clients.average, 6.0 / 4);
}

}  // namespace
}  // namespace server_test
