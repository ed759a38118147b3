#include "server/service_state.h"

#include <gtest/gtest.h>

namespace {

using namespace norla_server;

// Restored idle time is the part before the save plus the part since, each
// at least zero: a clock set back between stop and start neither keeps an
// entry forever nor gives it a negative idle time.
TEST(ServiceStateTest, LiveEntriesByIdleTimeWhateverTheClockDid) {
  constexpr std::time_t kSaved = 1'000'000;
  struct Case {
    std::time_t lastSeen, now;
    std::int64_t idle;  // -1: expired
  } const cases[] = {
      {kSaved - 10, kSaved + 20, 30},    // idle 10 at the save, 20 since
      {kSaved - 10, kSaved - 3600, 10},  // clock set back an hour before the start
      {kSaved + 50, kSaved + 5, 5},      // seen "after" the save: a step before it
      {kSaved - 100, kSaved + 200, 300}, // exactly the time-out: kept
      {kSaved - 100, kSaved + 201, -1},  // a second more: expired
  };
  for (Case const& c : cases) {
    StateBatch expired;
    auto const entries = LiveEntries({StoredClient{"u", "a", "10.0.0.1", 2, 1, c.lastSeen, kSaved}},
                                     c.now, 300, expired);
    if (c.idle < 0) {
      EXPECT_TRUE(entries.empty()) << c.now;
      ASSERT_EQ(expired.events.size(), 1u);
      EXPECT_EQ(expired.events[0].event, "Disconnect(Timeout)");
      continue;
    }
    ASSERT_EQ(entries.size(), 1u) << c.lastSeen << " " << c.now;
    EXPECT_EQ(entries[0].idleSeconds, c.idle) << c.lastSeen << " " << c.now;
    EXPECT_EQ(entries[0].client.loginCount, 2u);
    EXPECT_TRUE(expired.Empty());
  }
}

}  // namespace
