#include <keel/base/Sqlite.h>

#include <sqlite3.h>

#include <utility>

namespace platform {

namespace {

[[noreturn]] void fail(sqlite3* db, int rc, std::string_view what) {
  std::string msg(what);
  msg += ": ";
  msg += db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  throw SqliteError(rc, msg);
}

}  // namespace

Database::Database(const std::string& path, Mode mode) : path_(path) {
  int flags = mode == Mode::ReadOnly ? SQLITE_OPEN_READONLY
                                     : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  flags |= SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = "cannot open database " + path + ": " +
                      (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    sqlite3_close(db_);
    db_ = nullptr;
    throw SqliteError(rc, msg);
  }
  sqlite3_extended_result_codes(db_, 1);
}

Database::~Database() {
  if (db_) sqlite3_close_v2(db_);
}

Database::Database(Database&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), path_(std::move(other.path_)) {}

Database& Database::operator=(Database&& other) noexcept {
  if (this != &other) {
    if (db_) sqlite3_close_v2(db_);
    db_ = std::exchange(other.db_, nullptr);
    path_ = std::move(other.path_);
  }
  return *this;
}

void Database::exec(std::string_view sql) {
  std::string text(sql);
  char* err = nullptr;
  int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string msg = err ? err : sqlite3_errstr(rc);
    sqlite3_free(err);
    throw SqliteError(rc, "exec failed: " + msg);
  }
}

Statement Database::prepare(std::string_view sql) { return Statement(*this, sql); }

std::int64_t Database::lastInsertRowId() const { return sqlite3_last_insert_rowid(db_); }

int Database::changes() const { return sqlite3_changes(db_); }

void Database::setBusyTimeout(int ms) { sqlite3_busy_timeout(db_, ms); }

Statement::Statement(Database& db, std::string_view sql) : db_(db.handle()) {
  int rc = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
  if (rc != SQLITE_OK) fail(db_, rc, "prepare failed");
}

Statement::~Statement() {
  if (stmt_) sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)), db_(other.db_) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    if (stmt_) sqlite3_finalize(stmt_);
    stmt_ = std::exchange(other.stmt_, nullptr);
    db_ = other.db_;
  }
  return *this;
}

Statement& Statement::bind(int index, std::int64_t value) {
  int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) fail(db_, rc, "bind failed");
  return *this;
}

Statement& Statement::bind(int index, double value) {
  int rc = sqlite3_bind_double(stmt_, index, value);
  if (rc != SQLITE_OK) fail(db_, rc, "bind failed");
  return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
  int rc = sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (rc != SQLITE_OK) fail(db_, rc, "bind failed");
  return *this;
}

Statement& Statement::bindBlob(int index, const void* data, std::size_t size) {
  int rc = sqlite3_bind_blob64(stmt_, index, data, size, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) fail(db_, rc, "bind failed");
  return *this;
}

Statement& Statement::bindNull(int index) {
  int rc = sqlite3_bind_null(stmt_, index);
  if (rc != SQLITE_OK) fail(db_, rc, "bind failed");
  return *this;
}

bool Statement::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  fail(db_, rc, "step failed");
}

void Statement::run() {
  while (step()) {
  }
}

void Statement::reset(bool clearBindings) {
  sqlite3_reset(stmt_);
  if (clearBindings) sqlite3_clear_bindings(stmt_);
}

int Statement::columnCount() const { return sqlite3_column_count(stmt_); }

bool Statement::isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

std::int64_t Statement::getInt64(int column) const { return sqlite3_column_int64(stmt_, column); }

double Statement::getDouble(int column) const { return sqlite3_column_double(stmt_, column); }

std::string Statement::getText(int column) const {
  auto p = sqlite3_column_text(stmt_, column);
  int n = sqlite3_column_bytes(stmt_, column);
  return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string();
}

std::optional<std::string> Statement::getOptionalText(int column) const {
  if (isNull(column)) return std::nullopt;
  return getText(column);
}

std::vector<std::uint8_t> Statement::getBlob(int column) const {
  auto p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
  int n = sqlite3_column_bytes(stmt_, column);
  return p ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>();
}

std::string Statement::columnName(int column) const {
  const char* n = sqlite3_column_name(stmt_, column);
  return n ? n : "";
}

Transaction::Transaction(Database& db, bool immediate) : db_(db) {
  db_.exec(immediate ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction() {
  if (!done_) {
    try {
      db_.exec("ROLLBACK");
    } catch (...) {
    }
  }
}

void Transaction::commit() {
  db_.exec("COMMIT");
  done_ = true;
}

}  // namespace platform
