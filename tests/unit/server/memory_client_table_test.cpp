#include "server/memory_client_table.h"

#include <gtest/gtest.h>

namespace {

// Idleness is read off the monotonic clock alone: a step of the wall clock
// either way keeps no dead entry and drops no live one.
TEST(MemoryClientTableTest, IdleByTheMonotonicClockOnly) {
  std::time_t wall = 1773144000;
  std::int64_t mono = 1000;
  norla_server::MemoryClientTable table({[&] { return wall; }, [&] { return mono; }});
  struct {
    std::uint64_t timeout;
    std::time_t wallStep;
    std::int64_t idle;
    std::size_t kept;
  } const cases[] = {
      {300, 400, 300, 1},    // forward step; exactly the time-out stays
      {300, -3600, 301, 0},  // backward step; one second more goes
      {0, 0, 0, 1},
      {0, 0, 1, 0},
  };
  for (auto const& c : cases) {
    table.SetLimits(c.timeout, 0);
    table.RegisterOrRenew("u", "a", "p", true);
    wall += c.wallStep;
    mono += c.idle;
    table.SweepExpired();
    EXPECT_EQ(table.Count(), c.kept) << c.timeout << " " << c.wallStep << " " << c.idle;
    table.Release("u");
  }
}

}  // namespace
