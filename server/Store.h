// Store: the backend's SQLite storage. Objects are JSON documents keyed by (class, id) with
// their creation and update times; every top-level scalar field (and every scalar element of an
// array field) is also written to an index table, so equality lookups and lookups by id cost a
// B-tree probe instead of a class scan. Relation members, the per-class field types and the
// configuration parameters have tables of their own.
//
// The database runs in WAL mode with synchronous=NORMAL: a committed request survives the
// process being killed at any point after its reply.
//
// Thread-safety: none of its own. The owner serialises every call (Api holds one mutex around
// each request), and a request's calls run inside one transaction (begin()/commit()).
#pragma once

#include <boost/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
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

// A field's declared type: the first value stored in a field fixes it for the class.
struct FieldType {
  std::string type;    // "String", "Number", "Boolean", "Date", "Pointer", "Relation", ...
  std::string target;  // target class of a Pointer or Relation, else empty
};

class Store {
 public:
  // Opens (creating when needed) the database at `path`; ":memory:" keeps nothing on disk.
  explicit Store(const std::string& path);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Begins a transaction; write = true takes the write lock at once (no upgrade dead-locks).
  std::unique_ptr<platform::Transaction> begin(bool write);

  // Returns the object, or none.
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
  StoredObject readRow(platform::Statement& st);
  void writeIndex(const StoredObject& object);

  platform::Database db_;
  struct Statements;
  std::unique_ptr<Statements> st_;
};

}  // namespace keel::server
