#include "server/state_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "server/history_query.h"
#include "tests/support/daemon_process.h"

namespace {

using namespace norla_server;

constexpr std::time_t kNow = 1796591323;  // 2026-12-06T21:08:43Z
char const kAside[] = ".corrupt-20261206T210843";

void Sql(std::string const& path, char const* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST(StateStoreTest, KeepsTheRegisterPrunesOldRowsAndHoldsTheFileAlone) {
  tally_test::TempDir dir;
  std::string const path = dir.path() + "/state.db";
  std::string error;
  {
    auto opened = StateStore::Open(path, kNow);
    ASSERT_TRUE(opened.store) << opened.error;
    StateBatch first;
    first.clients["u1"] = StoredClient{"u1", "a", "10.0.0.1", 2, 100, 200, 0};
    first.clients["u2"] = StoredClient{"u2", "a", "10.0.0.2", 1, 100, 150, 0};
    first.events = {{0, 100, "Connect", "u1", "a", "10.0.0.1"}, {0, 300, "Connect", "u2", "a", ""}};
    first.samples = {{100, 1, {{"a", 1}}}, {300, 2, {{"a", 2}}}};
    ASSERT_TRUE(opened.store->Write(first, 210, error)) << error;
    StateBatch second;
    second.clients["u2"] = std::nullopt;
    ASSERT_TRUE(opened.store->Write(second, 220, error)) << error;
    EXPECT_EQ(opened.store->Prune(200, 200, 10, error), 3);  // an event, a sample, an app sample
    EXPECT_EQ(StateStore::Open(path, kNow).error, "in use by another process");
  }
  auto opened = StateStore::Open(path, kNow);
  ASSERT_TRUE(opened.store) << opened.error;
  std::vector<StoredClient> clients;
  ASSERT_TRUE(opened.store->LoadClients(clients, error)) << error;
  ASSERT_EQ(clients.size(), 1u);
  StoredClient const& kept = clients[0];
  EXPECT_EQ(std::tie(kept.uniqueId, kept.address, kept.logins, kept.lastSeen, kept.savedAt),
            std::make_tuple("u1", "10.0.0.1", 2u, 200, 210));
  HistoryQuery history(path);
  std::vector<StoredEvent> events;
  ASSERT_TRUE(history.Events({}, events)) << history.Error();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].uniqueId, "u2");
}

TEST(StateStoreTest, UnreadableFilesAreMovedAsideAndANewOneMade) {
  std::pair<char const*, std::function<void(std::string const&)>> const cases[] = {
      {"not SQLite",
       [](std::string const& path) {
         std::FILE* file = std::fopen(path.c_str(), "w");
         for (int i = 0; i < 200; ++i) std::fputs("this is not a database\n", file);
         std::fclose(file);
       }},
      {"another program's", [](std::string const& path) { Sql(path, "CREATE TABLE t(x)"); }},
      {"a newer schema",
       [](std::string const& path) {
         ASSERT_TRUE(StateStore::Open(path, kNow).store);
         Sql(path, "PRAGMA user_version = 99");
       }},
      {"truncated",
       [](std::string const& path) {
         auto opened = StateStore::Open(path, kNow);
         StateBatch batch;
         for (int i = 0; i < 2000; ++i) {
           std::string const id = "client-" + std::to_string(i);
           batch.clients[id] = StoredClient{id, "app", "10.0.0.1", 1, 1, 1, 0};
         }
         std::string error;
         ASSERT_TRUE(opened.store->Write(batch, 1, error)) << error;
         opened.store.reset();
         ASSERT_EQ(::truncate(path.c_str(), 20000), 0);
       }},
  };
  for (auto const& [name, make] : cases) {
    SCOPED_TRACE(name);
    tally_test::TempDir dir;
    std::string const path = dir.path() + "/state.db";
    make(path);
    auto opened = StateStore::Open(path, kNow);
    EXPECT_EQ(opened.movedAside, path + kAside);
    EXPECT_TRUE(std::filesystem::exists(path + kAside));
    ASSERT_TRUE(opened.store) << opened.error;
    std::vector<StoredClient> clients;
    std::string error;
    EXPECT_TRUE(opened.store->LoadClients(clients, error)) << error;
    EXPECT_TRUE(clients.empty());
  }
}

}  // namespace
