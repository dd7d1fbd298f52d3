// Object: the client-side image of one row of a backend class — a class name, an object id
// once the server has assigned one, creation and update times, and named fields.
//
// An object keeps what the server last said (its state, ObjectState) apart from what the
// application changed since (a queue of OperationSets, one field operation per field per
// set), and answers reads from an estimate that applies the queued operations to the server
// data. The last set of the queue collects new changes; starting a save appends a new set, so
// the sent set stays at the front until the save's reply is merged (or, on failure, folded
// back into the set after it).
//
// Values are copy-on-write, so an array or dictionary read from an object cannot change
// inside it: to change a container field, set it again (a Set is queued). Access lists and
// geo points are references the application can change in place; the object keeps a copy of
// their encoded form and queues a Set when it finds them changed.
//
// Subclasses: a class deriving from Object that declares its backend class name
// (`static std::string backendClassName()`) and is registered with
// ObjectSubclassingController is built for every object of that class name, by queries and
// decoders alike. See ObjectSubclassingController.h.
//
// Thread-safety: every member may be called from any thread. Each object has one recursive
// mutex guarding its state, queue, estimate and available keys. The object never holds its
// lock while it takes another object's lock or calls out (decoding, encoding, callbacks):
// values are decoded before the lock is taken and copied out before they are encoded. The
// identity (class name, object id, local id) is readable under a leaf lock of its own, so
// matching objects by id under one object's lock never waits for another's.
//
// Ownership: objects are always held by shared_ptr (made by the factory functions below).
// Members whose names start with an underscore are the library's own (saving, fetching,
// queries, current-object files); the application does not call them.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <keel/base/Exception.h>
#include <keel/base/Value.h>
#include <keel/objects/ACL.h>
#include <keel/objects/BackendObject.h>
#include <keel/objects/FieldOperation.h>
#include <keel/objects/ObjectEstimatedData.h>
#include <keel/objects/ObjectState.h>
#include <keel/objects/OperationSet.h>
#include <keel/objects/Relation.h>
#include <keel/objects/ObjectSubclassingController.h>
#include <keel/tasks/TaskQueue.h>

namespace keel {

class Decoder;
class Encoder;
class Object;
class ObjectSubclassingController;
using ObjectPtr = std::shared_ptr<Object>;

// What an object is constructed from. Only the library makes these (the factory functions of
// Object and the subclassing controller); a subclass passes it on to Object's constructor.
class ObjectInit {
 private:
  friend class Object;
  friend class ObjectSubclassingController;
  ObjectInit(std::string className, std::optional<std::string> objectId, std::optional<std::string> localId,
             bool complete)
      : className_(std::move(className)), objectId_(std::move(objectId)), localId_(std::move(localId)),
        complete_(complete) {}
  std::string className_;
  std::optional<std::string> objectId_;
  std::optional<std::string> localId_;
  bool complete_;
};

class Object : public BackendObject {
 public:
  // Constructed by the factory functions only. A subclass declares
  //   explicit MyClass(const ObjectInit& init) : Object(init) {}   (or `using Object::Object;`)
  explicit Object(const ObjectInit& init);
  ~Object() override;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  // ---- Creating ----

  // Returns a new, complete, dirty object of `className` with its default values, of the
  // class registered for that name, else Object. Throws InvalidArgumentException "Class name
  // can't be 'nil'." for an empty name and "Invalid class name. Class names cannot start with an
  // underscore." for a name starting with "_" (unless a built-in class registered for it accepts
  // it).
  static ObjectPtr objectWithClassName(const std::string& className);
  // Returns objectWithClassName(className) with setObject(value, key) done for every entry.
  static ObjectPtr objectWithClassName(const std::string& className, const Dictionary& dictionary);
  // Returns a shell: an incomplete object of that class and id, without data. A new shell each
  // call (two shells of one id are one object only under the local datastore, which keeps an
  // identity map). Throws as objectWithClassName for a bad class name, and
  // InternalInconsistencyException "The init method of %@ set values on the object, which is
  // not allowed." when a subclass's constructor set a value.
  static ObjectPtr objectWithoutDataWithClassNameObjectId(const std::string& className,
                                                          const std::optional<std::string>& objectId);
  // Returns a shell without object id that carries `localId`.
  static ObjectPtr objectWithoutDataWithClassNameLocalId(const std::string& className, const std::string& localId);

  // The same for a registered subclass T, whose class name it declares. Throw
  // InternalInconsistencyException "The class %@ must be registered with registerSubclass
  // before using Keel." while T is not registered. A class that does not declare the
  // subclassing members does not compile here.
  template <typename T>
  static std::shared_ptr<T> object();
  template <typename T>
  static std::shared_ptr<T> objectWithoutDataWithObjectId(const std::optional<std::string>& objectId);

  // Returns the object a server dictionary describes: id from "objectId", class from
  // "className" else `defaultClassName`, as a shell into which the dictionary is merged as
  // after a fetch (values decoded with `decoder`).
  static ObjectPtr _objectFromDictionary(const Dictionary& dictionary, const std::string& defaultClassName,
                                         bool completeData, const Decoder& decoder);
  // The same with the shared Decoder.
  static ObjectPtr _objectFromDictionary(const Dictionary& dictionary, const std::string& defaultClassName,
                                         bool completeData);
  // A query's result: complete exactly when no keys were selected (`selectedKeys` none). With
  // selected keys, those keys become available, and objects included inside the result are
  // partial too (the server sends only the nested fields the keys name), each with the keys it
  // came with available.
  static ObjectPtr _objectFromDictionary(const Dictionary& dictionary, const std::string& defaultClassName,
                                         const std::optional<std::vector<std::string>>& selectedKeys);

  // ---- Reading ----

  std::string className() const override;
  std::optional<std::string> objectId() const override;
  std::optional<Date> createdAt() const;
  std::optional<Date> updatedAt() const;

  // Returns the estimated value of `key`, or none. Throws InternalInconsistencyException
  // 'Key "k" has no data.  Call fetchIfNeeded before getting its value.' when the object is
  // incomplete and the key is not available. "ACL": a shared (default) list is replaced by an
  // unshared copy first, so changing it changes only this object. A Relation comes back bound
  // to this object and key.
  std::optional<Value> objectForKey(const std::string& key);
  std::optional<Value> operator[](const std::string& key) { return objectForKey(key); }
  bool isDataAvailable() const;
  bool isDataAvailableForKey(const std::string& key) const;
  // Returns the keys of the estimated data.
  std::vector<std::string> allKeys() const;
  std::shared_ptr<keel::ACL> ACL();
  // Sets the "ACL" field; nullptr removes it.
  void setACL(std::shared_ptr<keel::ACL> acl);

  // ---- Writing ----

  // Queues a change of `key`: a field operation is performed as it is, any other value is
  // wrapped in a Set. Throws InvalidArgumentException "Can't use nil for keys or values on
  // Object. Use NSNull for values." for no value (std::nullopt; JSON null is Value()) or an
  // empty key (a field the server sent under "" stays readable), "Object values may not have
  // class: %@" for a value of a kind a field cannot hold (a Relation, a command result, an
  // error), and what Set refuses (reserved keys in a dictionary). Throws what the operation's merge or apply throws, and then changes nothing.
  void setObject(std::optional<Value> value, const std::string& key);
  // Sets only when the value differs from the current one (not the same reference, not equal).
  void _setObjectIfDifferent(const Value& value, const std::string& key);
  // Queues a Delete when the key has a value.
  void removeObjectForKey(const std::string& key);
  void addObject(Value object, const std::string& key);
  void addObjectsFromArray(Array objects, const std::string& key);
  void addUniqueObject(Value object, const std::string& key);
  void addUniqueObjectsFromArray(Array objects, const std::string& key);
  void removeObject(Value object, const std::string& key);
  void removeObjectsInArray(Array objects, const std::string& key);
  void incrementKey(const std::string& key);
  void incrementKey(const std::string& key, Value amount);
  // Returns the relation of `key` (made when the field has none), bound to this object.
  std::shared_ptr<Relation> relationForKey(const std::string& key);

  // Performs `operation` on `key`: the new estimated value and the merged pending operation
  // are both computed first, then both stored; when either step throws nothing changes.
  void performOperation(const FieldOperationPtr& operation, const std::string& key);

  // Drops the unsaved changes (saves in flight are kept).
  void revert();
  // Drops the unsaved change of `key`, if any.
  void revertObjectForKey(const std::string& key);
  // Sets the object id; a change marks the object dirty.
  void setObjectId(const std::optional<std::string>& objectId);

  // ---- Change tracking ----

  // Returns a copy of the last operation set (the changes not yet sent).
  OperationSet unsavedChanges() const;
  bool _hasChanges() const;
  // Returns true iff a save is in flight (more than one set queued).
  bool _hasOutstandingOperations() const;
  // Returns true iff the object was deleted, is new or got a new id, has unsaved changes, or
  // (with children) an object reachable through its fields is dirty. The walk over children
  // takes one object's lock at a time and visits each object once, so objects that refer to
  // each other are fine.
  bool isDirty() const { return isDirty(true); }
  bool isDirty(bool considerChildren) const;
  bool isDirtyForKey(const std::string& key) const;
  // Returns copies of the queued sets, oldest first.
  std::vector<OperationSet> _operationSetQueue() const;
  // Returns the current state (frozen; safe to keep and read anywhere).
  ObjectStatePtr _state() const;
  // Replaces the state; an object-id change marks the object dirty as setObjectId does.
  void _setState(const ObjectState& state);
  void _setDeleted(bool deleted);

  // ---- Saving, fetching, merging ----

  // A save in flight. Made by _startSave(); ends in exactly one merge: finishWithResult on a
  // reply, fail() otherwise. A save that is dropped without either (an encoder threw, the save
  // was cancelled) is failed by the destructor, so its changes are folded back and never
  // stranded in the queue.
  class PendingSave {
   public:
    PendingSave(PendingSave&& other) noexcept;
    PendingSave& operator=(PendingSave&& other) noexcept;
    ~PendingSave();

    // The changes being sent.
    const OperationSet& operationSet() const { return operationSet_; }
    // Merges the server's reply (decoded with `decoder`). No-op after the save ended.
    void finishWithResult(const Dictionary& result, const Decoder& decoder);
    // Folds the changes back into the pending ones. No-op after the save ended.
    void fail();
    bool isFinished() const { return !object_; }

   private:
    friend class Object;
    PendingSave(ObjectPtr object, OperationSet operationSet);
    ObjectPtr object_;
    OperationSet operationSet_;
  };

  // Starts a save: appends a new empty set (changes made during the save go there) and
  // returns the set to send.
  PendingSave _startSave();
  // Returns the body of a save: each pending operation of `operationSet` in its JSON form,
  // encoded with `encoder`. Throws what the encoder throws.
  static Dictionary _convertToDictionaryForSaving(const OperationSet& operationSet, const Encoder& encoder);
  // Ends the save of the set with `uuid`: with a result, its changes become server data and the
  // result is merged as from the server (incomplete); without, the set is folded into the one
  // after it. Never throws for any pair of operations. Unknown uuids are ignored.
  void _mergeAfterSaveWithResult(const std::optional<Dictionary>& result, const Decoder& decoder,
                                 const std::string& operationSetUUID);
  // The same for the oldest set in flight.
  void _mergeAfterSaveWithResult(const std::optional<Dictionary>& result, const Decoder& decoder);
  // Merges a fetch reply: values decoded with `decoder` (before the lock is taken), merged as
  // from the server; with complete data, keys the reply lacks leave the server data and the
  // available keys (pending operations on them stay in the estimate).
  void _mergeAfterFetchWithResult(const Dictionary& result, const Decoder& decoder, bool completeData);
  // Merges a server reply into the state: object id, times, "ACL", every other field decoded.
  void _mergeFromServerWithResult(const Dictionary& result, const Decoder& decoder, bool completeData);

  // ---- Persisted form ----

  // Returns the state's dictionary representation plus "className", "__complete",
  // "isDeletingEventually" and "__operations" (the queued sets, oldest first), and stores the
  // sets' uuids in `operationSetUUIDs` when given. Encoding happens outside the lock.
  Dictionary RESTDictionaryWithObjectEncoder(const Encoder& encoder,
                                             std::vector<std::string>* operationSetUUIDs = nullptr) const;
  // Merges a persisted form into this object. The server part is taken only when it is not
  // older than what the object has; queued sets are matched by uuid (merged) or inserted in
  // order. Malformed entries (from a damaged file) are skipped with a warning.
  void mergeFromRESTDictionary(const Dictionary& dictionary, const Decoder& decoder);

  // ---- Identity ----

  std::string getOrCreateLocalId() override;
  std::optional<std::string> localId() const;
  int _deletingEventually() const;
  // Saves and fetches of this object are serialised through this queue.
  TaskQueue& taskQueue() { return taskQueue_; }
  TaskQueue& eventuallyTaskQueue() { return eventuallyTaskQueue_; }

  std::string description() const override;

  // ---- Typed fields for subclasses ----

  // Returns the field as T: an arithmetic T reads a number (0 for no value, null or another
  // kind); std::string / std::optional<std::string> a string; Value / std::optional<Value> the
  // value; Date / std::optional<Date> a date; Array / Dictionary a container (empty for
  // another kind); std::shared_ptr<X> a reference of that class (nullptr otherwise); and
  // std::shared_ptr<Relation> relationForKey(key). Other types do not compile.
  template <typename T>
  T get(const std::string& key);
  // Sets the field from a T: bool and char as booleans, other arithmetic types as numbers,
  // references as they are; a null shared_ptr or an empty optional removes the field. A
  // relation field cannot be set (it is read-only), which does not compile.
  template <typename T>
  void set(const std::string& key, T value);

 protected:
  // Sets the default values of a new object. Called once, on new complete objects only, after
  // construction. Subclasses override it to add their own.
  virtual void setDefaultValues() {}

 private:
  friend class ObjectSubclassingController;
  friend std::shared_ptr<ObjectFactory> makeDefaultObjectFactory();
  class ClassFactory;

  static ObjectPtr makeObject(const std::string& className, std::optional<std::string> objectId,
                              std::optional<std::string> localId, bool complete);
  static void validateClassName(const std::string& className);
  ObjectPtr self() { return std::static_pointer_cast<Object>(shared_from_this()); }

  // All below: REQUIRES mutex_ held.
  bool isDataAvailableForKeyLocked(const std::string& key) const;
  void makeAvailableLocked(const std::string& key);
  void makeAvailableLocked(const Dictionary& keys);
  void performOperationLocked(const FieldOperationPtr& operation, const std::string& key);
  void rebuildEstimatedDataLocked();
  void checkForChangedReferencesLocked();
  void snapshotLocked(const std::string& key, const Value* value);
  void snapshotAllLocked();
  void mergeDecodedLocked(const Dictionary& decoded, bool completeData, MutableObjectState& state);
  void installStateLocked(std::shared_ptr<const ObjectState> state);
  bool isDirtyLocked() const;
  void collectChildrenLocked(std::vector<ObjectPtr>& out) const;
  std::size_t queueIndexLocked(const std::string& uuid) const;
  static Dictionary decodeResult(const Dictionary& result, const Decoder& decoder);

  mutable std::recursive_mutex mutex_;
  // Class name, object id and local id are also kept under a lock of their own that is never
  // held while another is taken: other objects ask for them while holding their own lock
  // (AddUnique and Remove match objects by id), and taking mutex_ there could deadlock two
  // objects that refer to each other.
  mutable std::mutex identityMutex_;
  std::string classNameCopy_;
  std::optional<std::string> objectIdCopy_;
  std::optional<std::string> localId_;
  ObjectStatePtr state_;
  std::vector<OperationSet> operationSetQueue_;
  ObjectEstimatedData estimatedData_;
  std::unordered_set<std::string> availableKeys_;
  bool dirty_ = false;
  int deletingEventually_ = 0;
  // The encoded form of each field value that holds an access list or a geo point, the
  // references that can change in place, to notice such changes.
  std::unordered_map<std::string, Value> referenceSnapshots_;
  TaskQueue taskQueue_;
  TaskQueue eventuallyTaskQueue_;
};

template <typename T>
std::shared_ptr<T> Object::object() {
  static_assert(ObjectSubclassing<T>, "Can only call object() on subclasses declaring backendClassName()");
  ObjectSubclassingController::defaultController().template requireRegistered<T>();
  return std::dynamic_pointer_cast<T>(objectWithClassName(T::backendClassName()));
}

template <typename T>
std::shared_ptr<T> Object::objectWithoutDataWithObjectId(const std::optional<std::string>& objectId) {
  static_assert(ObjectSubclassing<T>,
                "Can only call objectWithoutDataWithObjectId() on subclasses declaring backendClassName()");
  ObjectSubclassingController::defaultController().template requireRegistered<T>();
  return std::dynamic_pointer_cast<T>(objectWithoutDataWithClassNameObjectId(T::backendClassName(), objectId));
}

namespace detail {
template <typename T>
struct IsSharedPtr : std::false_type {};
template <typename T>
struct IsSharedPtr<std::shared_ptr<T>> : std::true_type {
  using Element = T;
};
template <typename T>
inline constexpr bool kAlwaysFalse = false;
}  // namespace detail

template <typename T>
T Object::get(const std::string& key) {
  static_assert(!std::is_void_v<T>, "A getter cannot return void!");
  if constexpr (std::is_same_v<T, std::shared_ptr<Relation>>) {
    return relationForKey(key);
  } else {
    std::optional<Value> value = objectForKey(key);
    if constexpr (std::is_arithmetic_v<T>) {
      if (!value || !value->isNumber()) return T{};
      if constexpr (std::is_same_v<T, bool>) {
        return value->boolValue();
      } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(value->doubleValue());
      } else if constexpr (sizeof(T) <= 4 && std::is_signed_v<T>) {
        return static_cast<T>(value->intValue());
      } else if constexpr (sizeof(T) <= 4) {
        return static_cast<T>(value->uint32Value());
      } else {
        return static_cast<T>(value->int64Value());
      }
    } else if constexpr (std::is_same_v<T, Value>) {
      return value.value_or(Value());
    } else if constexpr (std::is_same_v<T, std::optional<Value>>) {
      return value;
    } else if constexpr (std::is_same_v<T, std::string>) {
      return value && value->isString() ? value->stringValue() : std::string();
    } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
      return value ? value->optionalString() : std::nullopt;
    } else if constexpr (std::is_same_v<T, Date>) {
      return value && value->isDate() ? value->dateValue() : Date{};
    } else if constexpr (std::is_same_v<T, std::optional<Date>>) {
      if (value && value->isDate()) return value->dateValue();
      return std::nullopt;
    } else if constexpr (std::is_same_v<T, Array>) {
      return value ? value->arrayValue() : Array{};
    } else if constexpr (std::is_same_v<T, Dictionary>) {
      return value ? value->dictionaryValue() : Dictionary{};
    } else if constexpr (detail::IsSharedPtr<T>::value &&
                         std::is_base_of_v<ValueReference, typename detail::IsSharedPtr<T>::Element>) {
      return value ? value->template as<typename detail::IsSharedPtr<T>::Element>() : nullptr;
    } else {
      static_assert(detail::kAlwaysFalse<T>, "Unsupported type encoding for an object field");
    }
  }
}

template <typename T>
void Object::set(const std::string& key, T value) {
  if constexpr (std::is_same_v<T, std::shared_ptr<Relation>>) {
    static_assert(detail::kAlwaysFalse<T>, "Relation fields are always read-only");
  } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, char> || std::is_same_v<T, signed char> ||
                       std::is_same_v<T, unsigned char>) {
    setObject(Value(static_cast<bool>(value)), key);
  } else if constexpr (std::is_arithmetic_v<T>) {
    setObject(Value(value), key);
  } else if constexpr (detail::IsSharedPtr<T>::value) {
    if (!value) {
      removeObjectForKey(key);
    } else {
      setObject(Value(std::move(value)), key);
    }
  } else if constexpr (std::is_same_v<T, std::optional<Value>> || std::is_same_v<T, std::optional<std::string>> ||
                       std::is_same_v<T, std::optional<Date>>) {
    if (!value) {
      removeObjectForKey(key);
    } else {
      setObject(Value(*value), key);
    }
  } else if constexpr (std::is_constructible_v<Value, T>) {
    setObject(Value(std::move(value)), key);
  } else {
    static_assert(detail::kAlwaysFalse<T>, "Unsupported type encoding for an object field");
  }
}

}  // namespace keel
