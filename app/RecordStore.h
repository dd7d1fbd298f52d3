// The application's record store: an entity model, a SQLite-backed store coordinator and a
// context through which records are inserted, changed, deleted, fetched and saved.
//
//  - ManagedObjectModel describes the entities (name, attributes with their kinds, indexes and
//    the record class that represents a row).
//  - PersistentStoreCoordinator owns the SQLite file: one table per entity, one column per
//    attribute, an integer identity column, and the model's indexes.
//  - ManagedObjectContext keeps the pending changes: inserts, attribute changes and deletes stay
//    in memory until save() writes all of them in one transaction. Fetches see the context's
//    current view: pending inserts included, pending deletes excluded, changed values shown.
//    A failed save rolls the transaction back, so the file is as it was, and keeps the changes
//    pending for the next save.
//  - Predicate is the filter language fetches use: `attribute = %@` comparisons with positional
//    string or number arguments, joined by && and || (&& binds tighter), with parentheses.
//
// Thread-safety: a context and its records belong to the thread that created them (the main
// thread in the application) and are checked against it in debug builds; the coordinator is
// used only through its context.
// Ownership: the context holds its coordinator, the coordinator its model and database; records
// are shared handles that know their context only while registered in it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <keel/base/Error.h>
#include <keel/base/Value.h>
#include <keel/base/Sqlite.h>

namespace stillnook {

class ManagedObject;
class ManagedObjectContext;
using ManagedObjectPtr = std::shared_ptr<ManagedObject>;

// The error domain of record-store failures (SQLite errors carry SQLite's result code).
inline constexpr const char* kRecordStoreErrorDomain = "RecordStore";

enum class AttributeType { Integer, String };

struct AttributeDescription {
  std::string name;
  AttributeType type;
};

struct EntityDescription {
  std::string name;
  std::vector<AttributeDescription> attributes;
  // Each index lists the attribute names it covers, in order.
  std::vector<std::vector<std::string>> indexes;
  // Makes an empty record of the entity's class.
  std::function<ManagedObjectPtr(const EntityDescription*)> makeObject;

  // Returns the position of the attribute, or -1.
  int attributeIndex(std::string_view attribute) const;
};

class ManagedObjectModel {
 public:
  explicit ManagedObjectModel(std::vector<EntityDescription> entities);
  // Returns the entity named `name`, or nullptr.
  const EntityDescription* entityNamed(std::string_view name) const;
  const std::vector<EntityDescription>& entities() const { return entities_; }

 private:
  std::vector<EntityDescription> entities_;
};

// A record: the values of one entity's attributes, in declaration order. Record classes
// (Exercise, Progress) add typed accessors.
class ManagedObject : public std::enable_shared_from_this<ManagedObject> {
 public:
  explicit ManagedObject(const EntityDescription* entity);
  virtual ~ManagedObject() = default;
  ManagedObject(const ManagedObject&) = delete;
  ManagedObject& operator=(const ManagedObject&) = delete;

  const EntityDescription& entity() const { return *entity_; }
  // Returns the value of an attribute (the null Value while unset).
  // Throws InvalidArgumentException for a name the entity lacks.
  keel::Value valueForKey(std::string_view key) const;
  // Sets an attribute; an integer attribute takes numbers, a string attribute strings.
  // Throws InvalidArgumentException for an unknown name or a value of the wrong kind.
  void setValueForKey(const keel::Value& value, std::string_view key);

  // Returns the context the record is registered in, or nullptr once it is deleted and saved.
  ManagedObjectContext* managedObjectContext() const { return context_; }
  // Returns true iff the values have not been read from the store yet (see
  // FetchRequest::includesPropertyValues); any read of a value reads them.
  bool isFault() const { return fault_; }
  bool isInserted() const { return inserted_; }
  bool isDeleted() const { return deleted_; }
  bool isUpdated() const { return updated_; }

 protected:
  std::int64_t integerAt(int index) const;
  std::string stringAt(int index) const;
  void setAt(int index, keel::Value value);

 private:
  friend class ManagedObjectContext;

  void fireFault() const;

  const EntityDescription* entity_;
  mutable std::vector<keel::Value> values_;
  mutable bool fault_ = false;
  std::int64_t rowId_ = 0;  // 0 until the record has been saved
  ManagedObjectContext* context_ = nullptr;
  bool inserted_ = false;
  bool deleted_ = false;
  bool updated_ = false;
};

class Predicate {
 public:
  // Parses `format` and binds the arguments to its %@ placeholders in order.
  // Throws InvalidArgumentException for a malformed format or a wrong number of arguments.
  static std::shared_ptr<const Predicate> predicateWithFormat(std::string_view format,
                                                              std::vector<keel::Value> arguments);

  // Returns true iff the record matches. A comparison of an attribute with an argument of
  // another kind (a string attribute with a number) never matches.
  bool evaluateWithObject(const ManagedObject& object) const;
  // Appends the SQL condition for `entity` and its bound values.
  // Throws InvalidArgumentException when the predicate names an attribute the entity lacks.
  void appendSql(const EntityDescription& entity, std::string& sql, std::vector<keel::Value>& binds) const;

  struct Node;
  explicit Predicate(std::shared_ptr<const Node> root) : root_(std::move(root)) {}

 private:
  std::shared_ptr<const Node> root_;
};
using PredicatePtr = std::shared_ptr<const Predicate>;

struct SortDescriptor {
  std::string key;
  bool ascending = true;
};

// A computed column of a dictionary fetch: `expression` is "@sum.<attribute>", its rows carry the
// result under `name`, as a 32-bit integer.
struct ExpressionDescription {
  std::string name;
  std::string expression;
};

enum class FetchResultType { ManagedObject, Dictionary };

struct FetchRequest {
  explicit FetchRequest(std::string entity) : entityName(std::move(entity)) {}

  std::string entityName;
  PredicatePtr predicate;
  std::vector<SortDescriptor> sortDescriptors;
  FetchResultType resultType = FetchResultType::ManagedObject;
  // False: records the context has not seen yet come as faults, their values read from the
  // store on first use. For fetches whose records are only deleted.
  bool includesPropertyValues = true;
  // Dictionary rows: the attributes to fetch (the grouping attributes among them) and the
  // computed columns.
  std::vector<std::string> propertiesToFetch;
  std::vector<ExpressionDescription> expressions;
  std::vector<std::string> propertiesToGroupBy;
};

class PersistentStoreCoordinator {
 public:
  explicit PersistentStoreCoordinator(std::shared_ptr<const ManagedObjectModel> model);

  // Opens (creating when needed) the SQLite store at `path` and makes the model's tables and
  // indexes. Returns false with `error` set when the file cannot be opened or its tables do
  // not fit the model (no migration is attempted).
  bool addSQLiteStore(const std::string& path, keel::ErrorPtr* error);

  const ManagedObjectModel& model() const { return *model_; }
  bool hasStore() const { return db_ != nullptr; }
  platform::Database& database();

 private:
  std::shared_ptr<const ManagedObjectModel> model_;
  std::unique_ptr<platform::Database> db_;
};

class ManagedObjectContext {
 public:
  ManagedObjectContext();
  ~ManagedObjectContext();
  ManagedObjectContext(const ManagedObjectContext&) = delete;
  ManagedObjectContext& operator=(const ManagedObjectContext&) = delete;

  void setPersistentStoreCoordinator(std::shared_ptr<PersistentStoreCoordinator> coordinator);
  const std::shared_ptr<PersistentStoreCoordinator>& persistentStoreCoordinator() const {
    return coordinator_;
  }

  // Inserts a new record of the named entity; its attributes are unset until assigned.
  // Throws InvalidArgumentException for an entity the model lacks.
  ManagedObjectPtr insertNewObjectForEntityForName(std::string_view entityName);
  // Marks a record of this context for deletion at the next save (an unsaved insert is simply
  // dropped).
  void deleteObject(const ManagedObjectPtr& object);

  // Returns the records the request matches, or nullopt with `error` set.
  std::optional<std::vector<ManagedObjectPtr>> executeFetchRequest(const FetchRequest& request,
                                                                   keel::ErrorPtr* error = nullptr);
  // Returns the dictionary rows of a Dictionary request, or nullopt with `error` set.
  std::optional<std::vector<keel::Dictionary>> executeDictionaryFetchRequest(
      const FetchRequest& request, keel::ErrorPtr* error = nullptr);

  // Returns true iff inserts, changes or deletes are pending.
  bool hasChanges() const;
  // Writes every pending change in one transaction. Returns false with `error` set when the
  // store refused; the file is then unchanged and the changes stay pending.
  bool save(keel::ErrorPtr* error = nullptr);

 private:
  friend class ManagedObject;

  void checkThread() const;
  void noteChanged(ManagedObject& object);
  const EntityDescription& entityForRequest(const FetchRequest& request) const;
  bool hasPendingChangesFor(const EntityDescription& entity) const;
  ManagedObjectPtr objectForRow(const EntityDescription& entity, platform::Statement& row, bool withValues);
  void readValues(const ManagedObject& object, platform::Statement& row, int firstColumn) const;
  void fulfillFault(const ManagedObject& object);
  std::vector<keel::Dictionary> groupInMemory(const FetchRequest& request,
                                              const std::vector<ManagedObjectPtr>& objects) const;

  std::shared_ptr<PersistentStoreCoordinator> coordinator_;
  std::thread::id owner_;
  // Saved records seen by this context, by entity and identity.
  std::unordered_map<const EntityDescription*, std::unordered_map<std::int64_t, std::weak_ptr<ManagedObject>>>
      registered_;
  std::vector<ManagedObjectPtr> inserted_;  // in insertion order
  std::vector<ManagedObjectPtr> updated_;
  std::vector<ManagedObjectPtr> deleted_;
};

}  // namespace stillnook
