// A thin RAII layer over the SQLite C API: a database connection, prepared statements with
// positional binding, and a transaction guard that rolls back unless committed.
//
// Failures throw SqliteError (a std::runtime_error carrying SQLite's result code and message);
// callers that report runtime failures as keel::Error convert at their boundary.
//
// Thread-safety: a Database and its Statements belong to one thread or queue at a time (SQLite
// is built serialized, but interleaving statements of one connection from several threads
// breaks transactions). Statements must not outlive their Database.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace platform {

class SqliteError : public std::runtime_error {
 public:
  SqliteError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

class Statement;

class Database {
 public:
  enum class Mode { ReadWriteCreate, ReadOnly };

  // Opens (and with ReadWriteCreate creates) the database at `path`; ":memory:" is allowed.
  explicit Database(const std::string& path, Mode mode = Mode::ReadWriteCreate);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  Database(Database&& other) noexcept;
  Database& operator=(Database&& other) noexcept;

  // Runs one or more statements that return no rows.
  void exec(std::string_view sql);
  Statement prepare(std::string_view sql);
  std::int64_t lastInsertRowId() const;
  // Returns the number of rows changed by the last INSERT, UPDATE or DELETE.
  int changes() const;
  // Waits up to `ms` for another connection's lock before failing with SQLITE_BUSY.
  void setBusyTimeout(int ms);
  const std::string& path() const { return path_; }
  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
  std::string path_;
};

// A prepared statement. Parameters are 1-based as in SQLite; columns are 0-based.
class Statement {
 public:
  Statement(Database& db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;

  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, int value) { return bind(index, static_cast<std::int64_t>(value)); }
  Statement& bind(int index, double value);
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, const char* text) { return bind(index, std::string_view(text)); }
  Statement& bindBlob(int index, const void* data, std::size_t size);
  Statement& bindNull(int index);

  // Steps once. Returns true when a row is available, false when the statement is done.
  bool step();
  // Steps to the end, for statements that return no rows.
  void run();
  // Resets the statement so it can run again; with clearBindings also drops the bindings.
  void reset(bool clearBindings = true);

  int columnCount() const;
  bool isNull(int column) const;
  std::int64_t getInt64(int column) const;
  int getInt(int column) const { return static_cast<int>(getInt64(column)); }
  double getDouble(int column) const;
  std::string getText(int column) const;
  std::optional<std::string> getOptionalText(int column) const;
  std::vector<std::uint8_t> getBlob(int column) const;
  std::string columnName(int column) const;

 private:
  sqlite3_stmt* stmt_ = nullptr;
  sqlite3* db_ = nullptr;
};

// Begins a transaction on construction; rolls it back on destruction unless commit() ran.
class Transaction {
 public:
  explicit Transaction(Database& db, bool immediate = true);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit();

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace platform
