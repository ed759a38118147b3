#pragma once

// The state file: the register, its events and the per-minute samples in one
// SQLite database (WAL mode), held by one process at a time through an
// exclusive flock on the file, taken before SQLite opens it and kept until
// it has closed it (closing any descriptor of the file would drop SQLite's
// own locks).
//
// A file that cannot be read as ours (not SQLite, corrupt, truncated, another
// program's, a newer schema) is moved aside to PATH.corrupt-YYYYMMDDTHHMMSS
// (UTC) with its WAL, and a new one is made: bad state never stops the
// service. An older schema is brought up to date.
//
// Threads: used by one thread at a time (start-up, then the writer's).

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/sqlite_statement.h"

namespace norla_server {

struct StoredClient {
  std::string uniqueId;
  std::string appId;
  std::string address;
  std::uint32_t logins = 0;
  std::time_t firstSeen = 0;
  std::time_t lastSeen = 0;
  std::time_t savedAt = 0;  // wall time of the batch that wrote it; set by the store
};

// Event names are those of the log lines: "Connect", "Disconnect",
// "Disconnect(Timeout)", "Disconnect(Admin)".
struct StoredEvent {
  std::int64_t id = 0;  // given by the store
  std::time_t time = 0;
  std::string event;
  std::string uniqueId;
  std::string appId;
  std::string address;
};

struct StoredSample {
  std::time_t time = 0;
  std::size_t clients = 0;
  std::vector<std::pair<std::string, std::size_t>> byApp;
};

// What one transaction writes. A client mapped to nullopt is deleted.
struct StateBatch {
  std::map<std::string, std::optional<StoredClient>> clients;
  std::vector<StoredEvent> events;
  std::vector<StoredSample> samples;

  bool Empty() const { return clients.empty() && events.empty() && samples.empty(); }
  // Adds `newer` on top: its client rows replace ours.
  void Merge(StateBatch&& newer);
};

class StateStore {
 public:
  static constexpr int kSchemaVersion = 1;

  struct Opened {
    std::unique_ptr<StateStore> store;  // null: no persistence, `error` says why
    std::string error;
    std::string movedAside;  // where an unreadable file went, or ""
    std::string whyMoved;
  };

  // Opens or creates the file at `path`; `now` names a file moved aside.
  static Opened Open(std::string const& path, std::time_t now);
  ~StateStore();
  StateStore(StateStore const&) = delete;
  StateStore& operator=(StateStore const&) = delete;

  std::string const& Path() const { return path_; }

  bool LoadClients(std::vector<StoredClient>& clients, std::string& error);
  // One transaction; on failure nothing of it is written.
  bool Write(StateBatch const& batch, std::time_t savedAt, std::string& error);
  // Deletes up to `rows` events before `eventsBefore` and as many samples
  // before `samplesBefore`; how many went, or -1 with `error`.
  long Prune(std::time_t eventsBefore, std::time_t samplesBefore, int rows, std::string& error);
  // Folds the WAL into the file, as SQLite does now and then on its own.
  void Checkpoint();

 private:
  StateStore(std::string path, int lockFd, sqlite3* db);
  bool Prepare();
  bool WriteRows(StateBatch const& batch, std::time_t savedAt);
  std::string LastError() const;

  std::string const path_;
  int const lockFd_;
  sqlite3* const db_;
  std::unique_ptr<SqliteStatement> putClient_, deleteClient_, addEvent_, addSample_,
      addAppSample_;
};

}  // namespace norla_server
