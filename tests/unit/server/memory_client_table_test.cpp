#include "server/memory_client_table.h"

#include <gtest/gtest.h>

#include <cstdio>

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

// What an operator's listing and a restart rely on: pages in UniqueID order
// with filters, look-up, release whatever the count, and a snapshot that a
// fresh table takes back with the idle times it had.
TEST(MemoryClientTableTest, PagesLookUpReleaseAndSnapshot) {
  std::int64_t mono = 1000;
  norla_server::MemoryClientTable table(
      {[] { return std::time_t{1773144000}; }, [&] { return mono; }});
  for (char const* id : {"d", "b", "a", "c"})
    table.RegisterOrRenew(id, *id == 'b' ? "x" : "y", "p", true);
  table.RegisterOrRenew("c", "y", "q", true);  // count 2, keeps its first peer
  mono += 7;
  table.RegisterOrRenew("a", "y", "p", false);

  auto ids = [](std::vector<norla_server::ClientEntry> const& entries) {
    std::string text;
    for (auto const& entry : entries) text += entry.uniqueId;
    return text;
  };
  EXPECT_EQ(ids(table.Page({"", 3, "", "", ""})), "abc");
  EXPECT_EQ(ids(table.Page({"b", 100, "", "", ""})), "cd");
  EXPECT_EQ(ids(table.Page({"", 100, "y", "", ""})), "acd");
  EXPECT_EQ(ids(table.Page({"a", 100, "", "p", ""})), "bcd");
  ASSERT_TRUE(table.Find("c"));
  EXPECT_EQ(table.Find("c")->client.loginCount, 2u);
  EXPECT_EQ(table.Find("c")->idleSeconds, 7);
  EXPECT_FALSE(table.Find("e"));

  EXPECT_EQ(table.Release("c").result, norla_server::TableResult::kRemoved);
  EXPECT_EQ(table.Release("c").result, norla_server::TableResult::kNotFound);

  norla_server::MemoryClientTable restored({nullptr, [&] { return mono + 100; }});
  restored.Restore(table.Snapshot());
  EXPECT_EQ(ids(restored.Page({"", 100, "", "", ""})), "abd");
  EXPECT_EQ(restored.Find("b")->idleSeconds, 7);
  EXPECT_EQ(restored.Find("a")->idleSeconds, 0);
}

}  // namespace

// A filter or a prefix over more entries than one slice of the scan still
// finds every match, in order, and stops at the prefix's end.
TEST(MemoryClientTableTest, PagesAcrossScanSlices) {
  norla_server::MemoryClientTable table;
  char id[8];
  for (int i = 0; i < 10000; ++i) {
    std::snprintf(id, sizeof id, "k%05d", i);
    table.RegisterOrRenew(id, i % 4999 == 7 ? "rare" : "common", "p", true);
  }
  auto ids = [](std::vector<norla_server::ClientEntry> const& entries) {
    std::string text;
    for (auto const& entry : entries) text += entry.uniqueId + " ";
    return text;
  };
  EXPECT_EQ(ids(table.Page({"", 10, "rare", "", ""})), "k00007 k05006 ");
  EXPECT_EQ(ids(table.Page({"k05006", 10, "rare", "", ""})), "");
  EXPECT_EQ(ids(table.Page({"", 100, "", "", "k0999"})).size(), 10u * 7);
  EXPECT_EQ(ids(table.Page({"k09997", 100, "", "", "k0999"})), "k09998 k09999 ");
  EXPECT_EQ(ids(table.Page({"", 100, "", "", "k1"})), "");
}
