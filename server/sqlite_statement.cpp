#include "server/sqlite_statement.h"

namespace norla_server {

SqliteStatement::SqliteStatement(sqlite3* db, char const* sql) {
  if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement_);
    statement_ = nullptr;
  }
}

SqliteStatement::~SqliteStatement() {
  sqlite3_finalize(statement_);
}

SqliteStatement& SqliteStatement::Bind(int index, std::int64_t value) {
  sqlite3_bind_int64(statement_, index, value);
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::string const& value) {
  sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()),
                    SQLITE_TRANSIENT);
  return *this;
}

int SqliteStatement::Step() {
  return sqlite3_step(statement_);
}

bool SqliteStatement::Run() {
  int result;
  while ((result = Step()) == SQLITE_ROW) {
  }
  return result == SQLITE_DONE;
}

void SqliteStatement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

std::int64_t SqliteStatement::Int(int column) const {
  return sqlite3_column_int64(statement_, column);
}

double SqliteStatement::Real(int column) const {
  return sqlite3_column_double(statement_, column);
}

std::string SqliteStatement::Text(int column) const {
  auto const* text = static_cast<char const*>(sqlite3_column_blob(statement_, column));
  int const size = sqlite3_column_bytes(statement_, column);
  return text != nullptr ? std::string(text, static_cast<std::size_t>(size)) : std::string();
}

bool SqliteStatement::Exec(sqlite3* db, char const* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace norla_server
