#include "server/state_writer.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "tests/support/daemon_process.h"
#include "tests/unit/server/server_test_support.h"

namespace server_test {
namespace {

using namespace norla_server;

// Another connection's write lock stands in for a full disk: each makes the
// writer's transaction fail until it goes.
TEST(StateWriterTest, KeepsChangesWhileTheFileCannotBeWrittenAndWritesThemLater) {
  tally_test::TempDir dir;
  std::string const path = dir.path() + "/state.db";
  ScopedLog log;
  {
    auto opened = StateStore::Open(path, 0);
    ASSERT_TRUE(opened.store) << opened.error;
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    StateWriter::Options options;
    options.period = std::chrono::milliseconds(10);
    StateWriter writer(std::move(opened.store), options);
    writer.Put(StoredClient{"u1", "a", "10.0.0.1", 1, 1, 1, 0});
    Strings const failed = log.Take(1);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0], "3 State file " + path +
                             ": cannot write (database is locked); keeping the changes in "
                             "memory and retrying");
    writer.Put(StoredClient{"u2", "a", "10.0.0.2", 1, 1, 1, 0});
    EXPECT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
  }
  EXPECT_EQ(log.Flushed(), Strings{"State file " + path + " written again"});
  auto reopened = StateStore::Open(path, 0);
  ASSERT_TRUE(reopened.store) << reopened.error;
  std::vector<StoredClient> clients;
  std::string error;
  ASSERT_TRUE(reopened.store->LoadClients(clients, error)) << error;
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(clients[1].uniqueId, "u2");
}

}  // namespace
}  // namespace server_test
