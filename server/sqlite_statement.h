#pragma once

// One prepared statement of a SQLite connection, finalized on destruction.
// Text is bound as bytes: AppIDs and UniqueIDs are whatever clients sent.
//
// Threads: used by the thread that owns its connection.

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace norla_server {

class SqliteStatement {
 public:
  // Check ok(); on failure sqlite3_errmsg(db) says why.
  SqliteStatement(sqlite3* db, char const* sql);
  ~SqliteStatement();
  SqliteStatement(SqliteStatement const&) = delete;
  SqliteStatement& operator=(SqliteStatement const&) = delete;

  bool ok() const { return statement_ != nullptr; }

  // Parameters count from 1.
  SqliteStatement& Bind(int index, std::int64_t value);
  SqliteStatement& Bind(int index, std::string const& value);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();
  // Steps to the end; true when it got there.
  bool Run();
  // Ready for new parameters.
  void Reset();

  // Columns count from 0.
  std::int64_t Int(int column) const;
  double Real(int column) const;
  std::string Text(int column) const;

  // Runs `sql` (any number of statements) without results; false on error.
  static bool Exec(sqlite3* db, char const* sql);

 private:
  sqlite3_stmt* statement_ = nullptr;
};

}  // namespace norla_server
