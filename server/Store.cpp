#include "server/Store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include <keel/base/Logger.h>

#include "server/Acl.h"
#include "server/JsonValues.h"

#include <keel/base/JSONSerialization.h>

namespace keel::server {

namespace {

// Kinds of index entries; a value matches only an operand of its own kind, so the string "1",
// the number 1 and true never meet.
enum IndexKind : int { kString = 1, kNumber = 2, kBool = 3, kPointer = 4, kDate = 5 };

const char* kSchemaSql = R"SQL(
CREATE TABLE IF NOT EXISTS objects(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  class TEXT NOT NULL,
  id TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  updated_at INTEGER NOT NULL,
  data TEXT NOT NULL,
  UNIQUE(class, id));
CREATE INDEX IF NOT EXISTS objects_created ON objects(class, created_at, id);
CREATE TABLE IF NOT EXISTS field_index(
  class TEXT NOT NULL, key TEXT NOT NULL, kind INTEGER NOT NULL, value NOT NULL, seq INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS field_index_lookup ON field_index(class, key, kind, value, seq);
CREATE INDEX IF NOT EXISTS field_index_owner ON field_index(seq);
CREATE TABLE IF NOT EXISTS relations(
  owner_class TEXT NOT NULL, owner_id TEXT NOT NULL, key TEXT NOT NULL,
  target_class TEXT NOT NULL, target_id TEXT NOT NULL,
  PRIMARY KEY(owner_class, owner_id, key, target_id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS schema_fields(
  class TEXT NOT NULL, key TEXT NOT NULL, type TEXT NOT NULL, target TEXT NOT NULL,
  PRIMARY KEY(class, key)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS config(id INTEGER PRIMARY KEY CHECK(id = 1), params TEXT NOT NULL);
)SQL";

// Databases written before reading principals were indexed get theirs from the documents once.
const char* kIndexReadersSql = R"SQL(
DELETE FROM field_index WHERE key = '_rperm';
INSERT INTO field_index(class, key, kind, value, seq)
  SELECT class, '_rperm', 1, '*', seq FROM objects
  WHERE json_type(CASE WHEN json_valid(data) THEN data ELSE '{}' END, '$.ACL') IS NOT 'object';
INSERT INTO field_index(class, key, kind, value, seq)
  SELECT o.class, '_rperm', 1, j.key, o.seq
  FROM objects o, json_each(CASE WHEN json_valid(o.data) THEN o.data ELSE '{}' END, '$.ACL') j
  WHERE CASE WHEN j.type = 'object' THEN json_type(j.value, '$.read') END = 'true';
PRAGMA user_version = 1;
)SQL";

// The database holds password digests and session digests: only its owner may read it. SQLite
// gives the -wal and -shm files the mode of the database file.
const std::string& ownerOnly(const std::string& path) {
  if (path == ":memory:" || path.empty() || path.starts_with("file:")) return path;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::fchmod(fd, 0600);
    ::close(fd);
  }
  for (const char* suffix : {"-wal", "-shm"}) ::chmod((path + suffix).c_str(), 0600);
  return path;
}

struct IndexEntry {
  int kind;
  const json::value* value;
};

// Binds an indexable operand as its index kind and value; returns false for anything else.
bool bindIndexValue(platform::Statement& st, int kindIndex, int valueIndex, const json::value& v) {
  switch (kindOf(v)) {
    case ValueKind::String:
      st.bind(kindIndex, kString).bind(valueIndex, std::string_view(v.get_string()));
      return true;
    case ValueKind::Number:
      st.bind(kindIndex, kNumber).bind(valueIndex, numberOf(v));
      return true;
    case ValueKind::Bool:
      st.bind(kindIndex, kBool).bind(valueIndex, v.get_bool() ? 1 : 0);
      return true;
    case ValueKind::Date:
      st.bind(kindIndex, kDate).bind(valueIndex, dateMillis(v));
      return true;
    case ValueKind::Pointer: {
      const auto& o = v.get_object();
      auto c = o.find("className");
      auto i = o.find("objectId");
      if (c == o.end() || i == o.end() || !c->value().is_string() || !i->value().is_string()) return false;
      std::string key = std::string(c->value().get_string()) + '$' + std::string(i->value().get_string());
      st.bind(kindIndex, kPointer).bind(valueIndex, std::string_view(key));
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

struct StoreConnection::Statements {
  explicit Statements(platform::Database& db)
      : get(db, "SELECT seq, class, id, created_at, updated_at, data FROM objects WHERE class = ? AND id = ?"),
        exists(db, "SELECT 1 FROM objects WHERE class = ? AND id = ?"),
        insert(db, "INSERT INTO objects(class, id, created_at, updated_at, data) VALUES(?, ?, ?, ?, ?)"),
        update(db, "UPDATE objects SET updated_at = ?, data = ? WHERE seq = ?"),
        seqOf(db, "SELECT seq FROM objects WHERE class = ? AND id = ?"),
        remove(db, "DELETE FROM objects WHERE seq = ?"),
        removeIndex(db, "DELETE FROM field_index WHERE seq = ?"),
        addIndex(db, "INSERT INTO field_index(class, key, kind, value, seq) VALUES(?, ?, ?, ?, ?)"),
        scan(db, "SELECT seq, class, id, created_at, updated_at, data FROM objects WHERE class = ? ORDER BY seq"),
        findEqual(db,
                  "SELECT o.seq, o.class, o.id, o.created_at, o.updated_at, o.data FROM field_index f "
                  "JOIN objects o ON o.seq = f.seq WHERE f.class = ? AND f.key = ? AND f.kind = ? "
                  "AND f.value = ?"),
        count(db, "SELECT COUNT(*) FROM objects WHERE class = ?"),
        addRelation(db, "INSERT OR IGNORE INTO relations VALUES(?, ?, ?, ?, ?)"),
        removeRelation(db, "DELETE FROM relations WHERE owner_class = ? AND owner_id = ? AND key = ? AND target_id = ?"),
        clearRelation(db, "DELETE FROM relations WHERE owner_class = ? AND owner_id = ? AND key = ?"),
        removeRelationsOf(db, "DELETE FROM relations WHERE owner_class = ? AND owner_id = ?"),
        relatedIds(db, "SELECT target_id FROM relations WHERE owner_class = ? AND owner_id = ? AND key = ?"),
        fieldType(db, "SELECT type, target FROM schema_fields WHERE class = ? AND key = ?"),
        setFieldType(db, "INSERT OR REPLACE INTO schema_fields VALUES(?, ?, ?, ?)"),
        getConfig(db, "SELECT params FROM config WHERE id = 1"),
        setConfig(db, "INSERT OR REPLACE INTO config(id, params) VALUES(1, ?)") {}

  platform::Statement get, exists, insert, update, seqOf, remove, removeIndex, addIndex, scan, findEqual,
      count, addRelation, removeRelation, clearRelation, removeRelationsOf, relatedIds, fieldType, setFieldType, getConfig,
      setConfig;
};

namespace {

// Resets a cached statement however the call leaves, so a throw never leaves it mid-step.
struct ResetOnExit {
  platform::Statement& st;
  ~ResetOnExit() { st.reset(); }
};

}  // namespace

StoreConnection::StoreConnection(const std::string& path, Role role) : db_(path) {
  db_.setBusyTimeout(5000);
  if (role == Role::Writer) {
    if (path != ":memory:") {
      db_.exec("PRAGMA journal_mode=WAL");
      // A large seed grows the log file; keep what is left of it after a checkpoint bounded.
      db_.exec("PRAGMA journal_size_limit=16777216");
    }
    db_.exec("PRAGMA synchronous=NORMAL");
    db_.exec(kSchemaSql);
    platform::Statement version(db_, "PRAGMA user_version");
    if (version.step() && version.getInt64(0) < 1) {
      version.reset();
      platform::Transaction transaction(db_, true);
      db_.exec(kIndexReadersSql);
      transaction.commit();
    }
  } else {
    // A write through a reader would race the writer for the lock; make it fail loudly instead.
    db_.exec("PRAGMA query_only=1");
  }
  st_ = std::make_unique<Statements>(db_);
}

StoreConnection::~StoreConnection() = default;

std::unique_ptr<platform::Transaction> StoreConnection::begin(bool write) {
  return std::make_unique<platform::Transaction>(db_, write);
}

std::optional<StoredObject> StoreConnection::readRow(platform::Statement& st) {
  StoredObject o;
  o.seq = st.getInt64(0);
  o.className = st.getText(1);
  o.objectId = st.getText(2);
  o.createdAt = st.getInt64(3);
  o.updatedAt = st.getInt64(4);
  boost::system::error_code ec;
  auto parsed = parseJson(st.getText(5), ec);
  if (ec || !parsed.is_object()) {
    // Skipping keeps the rest of the class readable; deleting the object removes the row.
    logError("keel-server: skipping the damaged stored object %@/%@: %@", o.className, o.objectId,
             ec ? ec.message() : std::string("not a JSON object"));
    return std::nullopt;
  }
  o.fields = std::move(parsed.get_object());
  return o;
}

std::optional<StoredObject> StoreConnection::get(const std::string& className, const std::string& objectId) {
  auto& st = st_->get;
  ResetOnExit guard{st};
  st.bind(1, className).bind(2, objectId);
  if (!st.step()) return std::nullopt;
  return readRow(st);
}

bool StoreConnection::exists(const std::string& className, const std::string& objectId) {
  auto& st = st_->exists;
  ResetOnExit guard{st};
  st.bind(1, className).bind(2, objectId);
  return st.step();
}

void StoreConnection::insert(StoredObject& object) {
  {
    auto& st = st_->insert;
    ResetOnExit guard{st};
    const std::string data = JSONSerialization::stringFromBoost(object.fields);
    st.bind(1, object.className).bind(2, object.objectId).bind(3, object.createdAt).bind(4, object.updatedAt)
        .bind(5, data);
    st.run();
  }
  object.seq = db_.lastInsertRowId();
  writeIndex(object);
}

void StoreConnection::update(const StoredObject& object) {
  {
    auto& st = st_->update;
    ResetOnExit guard{st};
    const std::string data = JSONSerialization::stringFromBoost(object.fields);
    st.bind(1, object.updatedAt).bind(2, data).bind(3, object.seq);
    st.run();
  }
  {
    auto& st = st_->removeIndex;
    ResetOnExit guard{st};
    st.bind(1, object.seq);
    st.run();
  }
  writeIndex(object);
}

void StoreConnection::writeIndex(const StoredObject& object) {
  auto& st = st_->addIndex;
  auto add = [&](const std::string& key, const json::value& v) {
    ResetOnExit guard{st};
    st.bind(1, object.className).bind(2, key);
    if (!bindIndexValue(st, 3, 4, v)) return;
    st.bind(5, object.seq);
    st.run();
  };
  for (const auto& entry : object.fields) {
    const std::string key(entry.key());
    if (entry.value().is_array()) {
      for (const auto& element : entry.value().get_array()) add(key, element);
    } else {
      add(key, entry.value());
    }
  }
  for (const auto& reader : readersOf(object.fields)) add(kReadersIndexKey, json::value(reader));
}

bool StoreConnection::remove(const std::string& className, const std::string& objectId) {
  std::int64_t seq;
  {
    auto& st = st_->seqOf;
    ResetOnExit guard{st};
    st.bind(1, className).bind(2, objectId);
    if (!st.step()) return false;
    seq = st.getInt64(0);
  }
  for (auto* st : {&st_->remove, &st_->removeIndex}) {
    ResetOnExit guard{*st};
    st->bind(1, seq);
    st->run();
  }
  auto& st = st_->removeRelationsOf;
  ResetOnExit guard{st};
  st.bind(1, className).bind(2, objectId);
  st.run();
  return true;
}

void StoreConnection::scan(const std::string& className, const std::function<bool(StoredObject&&)>& visit) {
  // A statement of its own: a visit may run nested look-ups (includes, sub-queries).
  platform::Statement st(db_, "SELECT seq, class, id, created_at, updated_at, data FROM objects WHERE class = ? ORDER BY seq");
  st.bind(1, className);
  while (st.step()) {
    auto object = readRow(st);
    if (object && !visit(std::move(*object))) break;
  }
}

void StoreConnection::scanFiltered(const std::string& className, const RowFilter& filter,
                                   const std::optional<std::pair<std::string, json::value>>& equal,
                                   std::string_view orderBy, const std::vector<std::string>* readers,
                                   const std::function<bool(StoredObject&&)>& visit) {
  std::string sql = "SELECT o.seq, o.class, o.id, o.created_at, o.updated_at, o.data FROM objects o WHERE o.class = ?";
  if (!filter.sql.empty()) sql += " AND (" + filter.sql + ")";
  if (equal)
    sql += " AND o.seq IN (SELECT f.seq FROM field_index f WHERE f.class = ? AND f.key = ? AND f.kind = ? AND f.value = ?)";
  if (readers) {
    sql += " AND o.seq IN (SELECT r.seq FROM field_index r WHERE r.class = ? AND r.key = ? AND r.kind = ? AND r.value IN (";
    for (std::size_t i = 0; i < readers->size(); ++i) sql += i ? ", ?" : "?";
    sql += "))";
  }
  sql += " ORDER BY ";
  sql += orderBy;
  // A statement of its own, as in scan(): a visit may run nested look-ups.
  platform::Statement st(db_, sql);
  int index = 1;
  st.bind(index++, className);
  for (const auto& arg : filter.args) {
    if (const auto* n = std::get_if<std::int64_t>(&arg)) st.bind(index++, *n);
    else st.bind(index++, std::string_view(std::get<std::string>(arg)));
  }
  if (equal) {
    st.bind(index, className).bind(index + 1, equal->first);
    if (!bindIndexValue(st, index + 2, index + 3, equal->second)) return;
    index += 4;
  }
  if (readers) {
    st.bind(index, className).bind(index + 1, std::string_view(kReadersIndexKey)).bind(index + 2, kString);
    index += 3;
    for (const auto& principal : *readers) st.bind(index++, std::string_view(principal));
  }
  while (st.step()) {
    auto object = readRow(st);
    if (object && !visit(std::move(*object))) break;
  }
}

bool StoreConnection::isIndexable(const json::value& value) {
  switch (kindOf(value)) {
    case ValueKind::String: case ValueKind::Number: case ValueKind::Bool: case ValueKind::Date:
      return true;
    case ValueKind::Pointer: {
      const auto& o = value.get_object();
      auto c = o.find("className");
      auto i = o.find("objectId");
      return c != o.end() && i != o.end() && c->value().is_string() && i->value().is_string();
    }
    default:
      return false;
  }
}

std::vector<StoredObject> StoreConnection::findEqual(const std::string& className, const std::string& key,
                                           const json::value& value) {
  std::vector<StoredObject> out;
  auto& st = st_->findEqual;
  ResetOnExit guard{st};
  st.bind(1, className).bind(2, key);
  if (!bindIndexValue(st, 3, 4, value)) return out;
  // The index is ordered by (class, key, kind, value, seq), so rows come in insertion order and
  // an array holding the value twice gives adjacent duplicates; no sort step is needed.
  std::int64_t last = 0;
  while (st.step()) {
    if (st.getInt64(0) == last) continue;
    last = st.getInt64(0);
    if (auto object = readRow(st)) out.push_back(std::move(*object));
  }
  return out;
}

std::int64_t StoreConnection::countClass(const std::string& className) {
  auto& st = st_->count;
  ResetOnExit guard{st};
  st.bind(1, className);
  return st.step() ? st.getInt64(0) : 0;
}

void StoreConnection::addRelation(const std::string& ownerClass, const std::string& ownerId, const std::string& key,
                        const std::string& targetClass, const std::string& targetId) {
  auto& st = st_->addRelation;
  ResetOnExit guard{st};
  st.bind(1, ownerClass).bind(2, ownerId).bind(3, key).bind(4, targetClass).bind(5, targetId);
  st.run();
}

void StoreConnection::removeRelation(const std::string& ownerClass, const std::string& ownerId, const std::string& key,
                           const std::string& targetId) {
  auto& st = st_->removeRelation;
  ResetOnExit guard{st};
  st.bind(1, ownerClass).bind(2, ownerId).bind(3, key).bind(4, targetId);
  st.run();
}

void StoreConnection::clearRelation(const std::string& ownerClass, const std::string& ownerId, const std::string& key) {
  auto& st = st_->clearRelation;
  ResetOnExit guard{st};
  st.bind(1, ownerClass).bind(2, ownerId).bind(3, key);
  st.run();
}

std::vector<std::string> StoreConnection::relatedIds(const std::string& ownerClass, const std::string& ownerId,
                                           const std::string& key) {
  std::vector<std::string> ids;
  auto& st = st_->relatedIds;
  ResetOnExit guard{st};
  st.bind(1, ownerClass).bind(2, ownerId).bind(3, key);
  while (st.step()) ids.push_back(st.getText(0));
  return ids;
}

std::optional<FieldType> StoreConnection::fieldType(const std::string& className, const std::string& key) {
  auto& st = st_->fieldType;
  ResetOnExit guard{st};
  st.bind(1, className).bind(2, key);
  if (!st.step()) return std::nullopt;
  return FieldType{st.getText(0), st.getText(1)};
}

void StoreConnection::setFieldType(const std::string& className, const std::string& key, const FieldType& type) {
  auto& st = st_->setFieldType;
  ResetOnExit guard{st};
  st.bind(1, className).bind(2, key).bind(3, type.type).bind(4, type.target);
  st.run();
}

json::object StoreConnection::configParams() {
  auto& st = st_->getConfig;
  ResetOnExit guard{st};
  if (!st.step()) return {};
  boost::system::error_code ec;
  auto parsed = parseJson(st.getText(0), ec);
  if (ec || !parsed.is_object()) {
    logError("keel-server: the stored configuration is damaged and reads as empty: %@",
             ec ? ec.message() : std::string("not a JSON object"));
    return {};
  }
  return std::move(parsed.get_object());
}

void StoreConnection::setConfigParams(const json::object& params) {
  auto& st = st_->setConfig;
  ResetOnExit guard{st};
  const std::string text = JSONSerialization::stringFromBoost(params);
  st.bind(1, text);
  st.run();
}

Store::Store(const std::string& path, int readers)
    : writer_(std::make_unique<StoreConnection>(ownerOnly(path), StoreConnection::Role::Writer)) {
  if (path == ":memory:") return;
  for (int i = 0; i < readers; ++i) {
    readers_.push_back(std::make_unique<StoreConnection>(path, StoreConnection::Role::Reader));
    idle_.push_back(readers_.back().get());
  }
}

Store::~Store() = default;

Store::Lease Store::writer() {
  std::unique_lock lock(writerMutex_);
  writerFree_.wait(lock, [this] { return !writerBusy_; });
  writerBusy_ = true;
  return Lease(this, writer_.get(), true);
}

Store::Lease Store::reader() {
  if (readers_.empty()) return writer();
  std::unique_lock lock(readersMutex_);
  readerFree_.wait(lock, [this] { return !idle_.empty(); });
  StoreConnection* connection = idle_.back();
  idle_.pop_back();
  return Lease(this, connection, false);
}

void Store::release(StoreConnection* connection, bool writer) {
  if (writer) {
    {
      std::lock_guard lock(writerMutex_);
      writerBusy_ = false;
    }
    writerFree_.notify_one();
    return;
  }
  {
    std::lock_guard lock(readersMutex_);
    idle_.push_back(connection);
  }
  readerFree_.notify_one();
}

Store::Lease::Lease(Lease&& other) noexcept
    : store_(std::exchange(other.store_, nullptr)), connection_(other.connection_), writer_(other.writer_) {}

Store::Lease::~Lease() {
  if (store_) store_->release(connection_, writer_);
}

}  // namespace keel::server
