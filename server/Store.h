// Store: the backend's SQLite storage. Objects are JSON documents keyed by (class, id) with
// their creation and update times; every top-level scalar field (and every scalar element of an
// array field) is also written to an index table, so equality lookups and lookups by id cost a
// B-tree probe instead of a class scan. Relation members, the per-class field types and the
// configuration parameters have tables of their own.
//
// The database runs in WAL mode with synchronous=NORMAL: a committed request survives the
// process being killed at any point after its reply. WAL lets readers work beside the one
// writer, each on the snapshot its transaction began with, so the Store keeps one write
// connection and a small pool of read connections; a request leases the one it needs for its
// whole transaction. An in-memory database cannot be shared between connections: there the
// write connection serves reads too, one request at a time.
//
// A stored document that no longer reads (damaged text, a number beyond a double) is skipped
// with a log line by every read, so one bad row never fails the reads of its whole class.
//
// Thread-safety: Store's members may be called from any thread. A StoreConnection belongs to
// the one thread that holds its lease; its calls run inside one transaction (begin()).
#pragma once

#include <boost/json.hpp>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <keel/base/Sqlite.h>

namespace keel::server {

namespace json = boost::json;

struct StoredObject {
  std::int64_t seq = 0;  // insertion order; 0 until inserted
  std::string className;
  std::string objectId;
  std::int64_t createdAt = 0;  // milliseconds since 1970, UTC
  std::int64_t updatedAt = 0;
  json::object fields;  // everything but objectId, createdAt and updatedAt
};

// A condition on the columns every object row has (alias `o`: o.created_at, o.id, o.seq), as
// SQL text with "?" placeholders and the values they take, in order. Built by the query engine
// from a fixed set of column names and operators, never from request text.
struct RowFilter {
  std::string sql;  // empty: every row
  std::vector<std::variant<std::int64_t, std::string>> args;
};

// A field's declared type: the first value stored in a field fixes it for the class.
struct FieldType {
  std::string type;    // "String", "Number", "Boolean", "Date", "Pointer", "Relation", ...
  std::string target;  // target class of a Pointer or Relation, else empty
};

// One SQLite connection with its prepared statements: every document, index, relation, type
// and configuration operation of one request.
class StoreConnection {
 public:
  enum class Role { Writer, Reader };

  // Opens the database at `path`. The writer creates it and its tables when needed; a reader
  // REQUIRES a writer to have done so, and refuses every write (query_only).
  StoreConnection(const std::string& path, Role role);
  ~StoreConnection();
  StoreConnection(const StoreConnection&) = delete;
  StoreConnection& operator=(const StoreConnection&) = delete;

  // Begins a transaction; write = true takes the write lock at once (no upgrade dead-locks).
  // REQUIRES: write is false on a reader.
  std::unique_ptr<platform::Transaction> begin(bool write);

  // Returns the object, or none (also for a damaged document, which is logged).
  std::optional<StoredObject> get(const std::string& className, const std::string& objectId);
  // Inserts a new object and sets its seq. REQUIRES: no object with its class and id exists.
  void insert(StoredObject& object);
  // Rewrites an existing object's fields and update time, and its index entries.
  void update(const StoredObject& object);
  // Removes the object, its index entries and the relations it owns. Returns false if absent.
  bool remove(const std::string& className, const std::string& objectId);
  // Returns true iff an object with this class and id exists.
  bool exists(const std::string& className, const std::string& objectId);

  // Calls `visit` for each object of the class in insertion order until it returns false.
  void scan(const std::string& className, const std::function<bool(StoredObject&&)>& visit);
  // Calls `visit` for each object of the class that passes `filter` (and, when `equal` is given,
  // whose field equal->first holds the scalar equal->second; when `readers` is given, that one
  // of those principals may read) in the order of `orderBy`, an SQL ORDER BY list over the alias
  // `o`, until it returns false. Rows are read one at a time, so a visit that stops early never
  // pays for the rest of the class, and unreadable rows are never read or parsed. REQUIRES:
  // orderBy comes from a fixed set of column names; equal->second isIndexable(); readers, when
  // given, is not empty.
  void scanFiltered(const std::string& className, const RowFilter& filter,
                    const std::optional<std::pair<std::string, json::value>>& equal, std::string_view orderBy,
                    const std::vector<std::string>* readers,
                    const std::function<bool(StoredObject&&)>& visit);
  // Returns the objects of the class whose field `key` equals (or, for arrays, holds) the
  // scalar `value`, in insertion order. REQUIRES: isIndexable(value).
  std::vector<StoredObject> findEqual(const std::string& className, const std::string& key,
                                      const json::value& value);
  // Returns true iff findEqual can answer for this operand.
  static bool isIndexable(const json::value& value);
  // Returns the number of objects of the class.
  std::int64_t countClass(const std::string& className);

  // Relation membership of owner.key.
  void addRelation(const std::string& ownerClass, const std::string& ownerId, const std::string& key,
                   const std::string& targetClass, const std::string& targetId);
  void removeRelation(const std::string& ownerClass, const std::string& ownerId, const std::string& key,
                      const std::string& targetId);
  // Removes every member of owner.key (the field itself was deleted).
  void clearRelation(const std::string& ownerClass, const std::string& ownerId, const std::string& key);
  std::vector<std::string> relatedIds(const std::string& ownerClass, const std::string& ownerId,
                                      const std::string& key);

  // Declared field types.
  std::optional<FieldType> fieldType(const std::string& className, const std::string& key);
  void setFieldType(const std::string& className, const std::string& key, const FieldType& type);

  // Configuration parameters: a JSON object.
  json::object configParams();
  void setConfigParams(const json::object& params);

  platform::Database& database() { return db_; }

 private:
  std::optional<StoredObject> readRow(platform::Statement& st);
  void writeIndex(const StoredObject& object);

  platform::Database db_;
  struct Statements;
  std::unique_ptr<Statements> st_;
};

class Store {
 public:
  // Exclusive use of one connection until destroyed.
  class Lease {
   public:
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    StoreConnection& operator*() const { return *connection_; }
    StoreConnection* operator->() const { return connection_; }

   private:
    friend class Store;
    Lease(Store* store, StoreConnection* connection, bool writer) : store_(store), connection_(connection), writer_(writer) {}
    Store* store_;
    StoreConnection* connection_;
    bool writer_;
  };

  // Opens (creating when needed) the database at `path` with one write connection and
  // `readers` read connections; ":memory:" keeps nothing on disk and has the writer only.
  explicit Store(const std::string& path, int readers = 2);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Returns the write connection, waiting while another request holds it.
  Lease writer();
  // Returns a read connection, waiting while all are in use. In memory: the write connection.
  Lease reader();
  // Returns the number of read connections (0 in memory).
  int readers() const { return static_cast<int>(readers_.size()); }

 private:
  void release(StoreConnection* connection, bool writer);

  std::unique_ptr<StoreConnection> writer_;
  std::vector<std::unique_ptr<StoreConnection>> readers_;
  std::mutex writerMutex_;
  std::condition_variable writerFree_;
  bool writerBusy_ = false;
  std::mutex readersMutex_;
  std::condition_variable readerFree_;
  std::vector<StoreConnection*> idle_;
};

}  // namespace keel::server
