#include "server/state_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

namespace norla_server {

namespace {

// "TALY": tells our files from other SQLite databases.
constexpr std::int64_t kApplicationId = 0x54414C59;
constexpr int kBusyTimeoutMilliseconds = 1000;

// kMigrations[v] takes a file at schema version v to v + 1.
constexpr char const* kMigrations[] = {
    R"sql(
CREATE TABLE clients(unique_id TEXT PRIMARY KEY, app_id TEXT NOT NULL, address TEXT NOT NULL,
  logins INTEGER NOT NULL, first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL,
  saved_at INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE events(id INTEGER PRIMARY KEY, time INTEGER NOT NULL, event TEXT NOT NULL,
  unique_id TEXT NOT NULL, app_id TEXT NOT NULL, address TEXT NOT NULL);
CREATE INDEX events_by_time ON events(time);
CREATE INDEX events_by_client ON events(unique_id, id);
CREATE TABLE samples(time INTEGER PRIMARY KEY, clients INTEGER NOT NULL);
CREATE TABLE app_samples(time INTEGER NOT NULL, app_id TEXT NOT NULL, clients INTEGER NOT NULL,
  PRIMARY KEY(time, app_id)) WITHOUT ROWID;
)sql",
};
static_assert(std::size(kMigrations) == StateStore::kSchemaVersion);

std::string SystemError(char const* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

std::string AsideName(std::string const& path, std::time_t now) {
  std::tm parts{};
  gmtime_r(&now, &parts);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &parts);
  return path + ".corrupt-" + stamp;
}

// The first column of the first row of `sql`; false when it has none.
bool Scalar(sqlite3* db, char const* sql, std::string& value) {
  SqliteStatement statement(db, sql);
  if (!statement.ok() || statement.Step() != SQLITE_ROW) return false;
  value = statement.Text(0);
  return true;
}

// Whether the error in `db` says the file is not a database we can read.
bool UnreadableFile(sqlite3* db) {
  int const code = sqlite3_extended_errcode(db) & 0xFF;
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

bool Migrate(sqlite3* db, int version) {
  if (!SqliteStatement::Exec(db, "BEGIN IMMEDIATE")) return false;
  for (int step = version; step < StateStore::kSchemaVersion; ++step) {
    if (!SqliteStatement::Exec(db, kMigrations[step])) {
      SqliteStatement::Exec(db, "ROLLBACK");
      return false;
    }
  }
  std::string const stamp = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                            "; PRAGMA user_version = " +
                            std::to_string(StateStore::kSchemaVersion) + "; COMMIT";
  if (SqliteStatement::Exec(db, stamp.c_str())) return true;
  SqliteStatement::Exec(db, "ROLLBACK");
  return false;
}

// Checks the file in `db` and brings its schema up to date. On failure `why`
// says why and `bad` whether the file itself is at fault (to be moved aside).
bool Adopt(sqlite3* db, std::string& why, bool& bad) {
  sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
  std::string check, application, version, tables, mode;
  if (!Scalar(db, "PRAGMA quick_check", check) ||
      !Scalar(db, "PRAGMA application_id", application) ||
      !Scalar(db, "PRAGMA user_version", version) ||
      !Scalar(db, "SELECT count(*) FROM sqlite_master", tables)) {
    why = sqlite3_errmsg(db);
    bad = UnreadableFile(db);
    return false;
  }
  bool const fresh = application == "0" && tables == "0";
  bad = true;
  if (check != "ok") {
    why = "integrity check: " + check;
    return false;
  }
  if (!fresh && application != std::to_string(kApplicationId)) {
    why = "not a tallyd state file";
    return false;
  }
  int const schema = std::stoi(version);
  if (schema > StateStore::kSchemaVersion) {
    why = "schema " + version + " is newer than this tallyd's";
    return false;
  }
  bad = false;
  if (!Scalar(db, "PRAGMA journal_mode = WAL", mode) || mode != "wal" ||
      !SqliteStatement::Exec(db, "PRAGMA synchronous = NORMAL") ||
      (schema < StateStore::kSchemaVersion && !Migrate(db, schema))) {
    why = mode.empty() || mode == "wal" ? sqlite3_errmsg(db) : "cannot use WAL mode";
    bad = UnreadableFile(db);
    return false;
  }
  return true;
}

}  // namespace

void StateBatch::Merge(StateBatch&& newer) {
  for (auto& [uniqueId, row] : newer.clients) clients[uniqueId] = std::move(row);
  events.insert(events.end(), std::make_move_iterator(newer.events.begin()),
                std::make_move_iterator(newer.events.end()));
  samples.insert(samples.end(), std::make_move_iterator(newer.samples.begin()),
                 std::make_move_iterator(newer.samples.end()));
}

StateStore::Opened StateStore::Open(std::string const& path, std::time_t now) {
  Opened opened;
  // A second round only after the file was moved aside.
  for (int round = 0; round < 2; ++round) {
    int const fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      opened.error = SystemError("cannot open");
      return opened;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      opened.error = errno == EWOULDBLOCK ? "in use by another process" : SystemError("cannot lock");
      ::close(fd);
      return opened;
    }
    sqlite3* db = nullptr;
    std::string why;
    bool bad = false;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) ==
            SQLITE_OK &&
        Adopt(db, why, bad)) {
      std::unique_ptr<StateStore> store(new StateStore(path, fd, db));
      if (!store->Prepare()) {
        opened.error = store->LastError();
        return opened;
      }
      opened.store = std::move(store);
      return opened;
    }
    if (why.empty()) why = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    if (!bad || round > 0) {
      ::close(fd);
      opened.error = why;
      return opened;
    }
    std::string const aside = AsideName(path, now);
    bool const moved = ::rename(path.c_str(), aside.c_str()) == 0;
    if (moved) {
      // The old WAL belongs to the old file: left here it would be replayed into the new one.
      ::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
      ::unlink((path + "-shm").c_str());
    } else {
      opened.error = why + "; " + SystemError("cannot move it aside");
    }
    ::close(fd);
    if (!moved) return opened;
    opened.movedAside = aside;
    opened.whyMoved = why;
  }
  return opened;
}

StateStore::StateStore(std::string path, int lockFd, sqlite3* db)
    : path_(std::move(path)), lockFd_(lockFd), db_(db) {}

StateStore::~StateStore() {
  putClient_.reset();
  deleteClient_.reset();
  addEvent_.reset();
  addSample_.reset();
  addAppSample_.reset();
  sqlite3_close(db_);
  ::close(lockFd_);  // only now: see the header
}

std::string StateStore::LastError() const {
  return sqlite3_errmsg(db_);
}

bool StateStore::Prepare() {
  putClient_ = std::make_unique<SqliteStatement>(
      db_,
      "INSERT OR REPLACE INTO clients(unique_id, app_id, address, logins, first_seen, last_seen, "
      "saved_at) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  deleteClient_ = std::make_unique<SqliteStatement>(db_, "DELETE FROM clients WHERE unique_id = ?1");
  addEvent_ = std::make_unique<SqliteStatement>(
      db_,
      "INSERT INTO events(time, event, unique_id, app_id, address) VALUES(?1, ?2, ?3, ?4, ?5)");
  addSample_ = std::make_unique<SqliteStatement>(
      db_, "INSERT OR REPLACE INTO samples(time, clients) VALUES(?1, ?2)");
  addAppSample_ = std::make_unique<SqliteStatement>(
      db_, "INSERT OR REPLACE INTO app_samples(time, app_id, clients) VALUES(?1, ?2, ?3)");
  return putClient_->ok() && deleteClient_->ok() && addEvent_->ok() && addSample_->ok() &&
         addAppSample_->ok();
}

bool StateStore::LoadClients(std::vector<StoredClient>& clients, std::string& error) {
  SqliteStatement rows(db_,
                       "SELECT unique_id, app_id, address, logins, first_seen, last_seen, saved_at "
                       "FROM clients ORDER BY unique_id");
  int result = rows.ok() ? rows.Step() : SQLITE_ERROR;
  for (; result == SQLITE_ROW; result = rows.Step()) {
    clients.push_back(StoredClient{rows.Text(0), rows.Text(1), rows.Text(2),
                                   static_cast<std::uint32_t>(rows.Int(3)), rows.Int(4), rows.Int(5),
                                   rows.Int(6)});
  }
  if (result == SQLITE_DONE) return true;
  error = LastError();
  return false;
}

bool StateStore::WriteRows(StateBatch const& batch, std::time_t savedAt) {
  for (auto const& [uniqueId, row] : batch.clients) {
    SqliteStatement& statement = row ? *putClient_ : *deleteClient_;
    statement.Reset();
    statement.Bind(1, uniqueId);
    if (row) {
      statement.Bind(2, row->appId).Bind(3, row->address).Bind(4, std::int64_t{row->logins});
      statement.Bind(5, row->firstSeen).Bind(6, row->lastSeen).Bind(7, savedAt);
    }
    if (!statement.Run()) return false;
  }
  for (StoredEvent const& event : batch.events) {
    addEvent_->Reset();
    addEvent_->Bind(1, event.time).Bind(2, event.event).Bind(3, event.uniqueId);
    addEvent_->Bind(4, event.appId).Bind(5, event.address);
    if (!addEvent_->Run()) return false;
  }
  for (StoredSample const& sample : batch.samples) {
    addSample_->Reset();
    addSample_->Bind(1, sample.time).Bind(2, static_cast<std::int64_t>(sample.clients));
    if (!addSample_->Run()) return false;
    for (auto const& [app, count] : sample.byApp) {
      addAppSample_->Reset();
      addAppSample_->Bind(1, sample.time).Bind(2, app).Bind(3, static_cast<std::int64_t>(count));
      if (!addAppSample_->Run()) return false;
    }
  }
  return true;
}

bool StateStore::Write(StateBatch const& batch, std::time_t savedAt, std::string& error) {
  if (SqliteStatement::Exec(db_, "BEGIN IMMEDIATE")) {
    if (WriteRows(batch, savedAt) && SqliteStatement::Exec(db_, "COMMIT")) return true;
    error = LastError();
    SqliteStatement::Exec(db_, "ROLLBACK");
    return false;
  }
  error = LastError();
  return false;
}

void StateStore::Checkpoint() {
  sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

long StateStore::Prune(std::time_t eventsBefore, std::time_t samplesBefore, int rows,
                       std::string& error) {
  SqliteStatement events(
      db_, "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE time < ?1 LIMIT ?2)");
  SqliteStatement samples(
      db_, "DELETE FROM samples WHERE time IN (SELECT time FROM samples WHERE time < ?1 LIMIT ?2)");
  SqliteStatement appSamples(db_,
                             "DELETE FROM app_samples WHERE (time, app_id) IN (SELECT time, app_id "
                             "FROM app_samples WHERE time < ?1 LIMIT ?2)");
  long removed = 0;
  for (auto [statement, before] : {std::pair{&events, eventsBefore}, std::pair{&samples, samplesBefore},
                                   std::pair{&appSamples, samplesBefore}}) {
    if (!statement->ok() || !statement->Bind(1, before).Bind(2, std::int64_t{rows}).Run()) {
      error = LastError();
      return -1;
    }
    removed += sqlite3_changes(db_);
  }
  return removed;
}

}  // namespace norla_server
