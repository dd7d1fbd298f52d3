#include "server/RequestLog.h"

namespace keel::server {

void RequestLog::createTable(platform::Database& db) {
  // A log written before replies were kept per caller could hand one caller's reply to another:
  // it holds only short-lived replies, so it is dropped rather than converted.
  bool exists = false, keyedByCaller = false;
  {
    platform::Statement st(db, "SELECT name FROM pragma_table_info('request_log')");
    while (st.step()) {
      exists = true;
      keyedByCaller = keyedByCaller || st.getText(0) == "caller";
    }
  }
  if (exists && !keyedByCaller) db.exec("DROP TABLE request_log");
  db.exec(R"SQL(
CREATE TABLE IF NOT EXISTS request_log(
  application TEXT NOT NULL, caller TEXT NOT NULL, request_id TEXT NOT NULL, method TEXT NOT NULL,
  path TEXT NOT NULL, status INTEGER NOT NULL, reply TEXT NOT NULL, written_at INTEGER NOT NULL,
  PRIMARY KEY(application, caller, request_id)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS request_log_age ON request_log(written_at);
)SQL");
}

bool RequestLog::isValidId(std::string_view id) {
  if (id.empty() || id.size() > kMaxIdLength) return false;
  for (char c : id)
    if (c < 0x21 || c > 0x7e) return false;
  return true;
}

std::optional<LoggedReply> RequestLog::find(platform::Database& db, const std::string& application,
                                            const std::string& caller, const std::string& id,
                                            std::int64_t notBefore) {
  platform::Statement st(db,
                         "SELECT method, path, status, reply FROM request_log "
                         "WHERE application = ? AND caller = ? AND request_id = ? AND written_at >= ?");
  st.bind(1, application).bind(2, caller).bind(3, id).bind(4, notBefore);
  if (!st.step()) return std::nullopt;
  return LoggedReply{st.getText(0), st.getText(1), st.getInt(2), st.getText(3)};
}

void RequestLog::store(platform::Database& db, const std::string& application, const std::string& caller,
                       const std::string& id, const LoggedReply& reply, std::int64_t now) {
  // REPLACE: an expired entry of the same id may not have been pruned yet.
  platform::Statement st(db, "INSERT OR REPLACE INTO request_log VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
  st.bind(1, application).bind(2, caller).bind(3, id).bind(4, reply.method).bind(5, reply.path)
      .bind(6, reply.status).bind(7, reply.body).bind(8, now);
  st.run();
}

int RequestLog::prune(platform::Database& db, std::int64_t notBefore) {
  platform::Statement st(db, "DELETE FROM request_log WHERE written_at < ?");
  st.bind(1, notBefore);
  st.run();
  return db.changes();
}

}  // namespace keel::server
