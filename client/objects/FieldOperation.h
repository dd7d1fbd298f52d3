// FieldOperation: one pending change of one field of a backend object — set, delete, increment,
// add to an array, add unique to an array, remove from an array, add or remove relation
// members. An operation
//   - computes the field's new local value from the old one (applyToValue),
//   - merges with the operation already pending for the field, so that one operation per field
//     is queued (mergeWithPrevious: the single operation equal to `previous` then this one),
//   - writes itself as the JSON the server applies (encodeWithObjectEncoder; "__op"
//     dictionaries, or the value itself for a set).
// Rejections are InternalInconsistencyException, raised by the merge or apply that meets them.
//
// Numbers add exactly and widen where the sum does not fit the kind (Value::sum). Objects in
// arrays are matched by class name and object id (ids are unique only within a class).
// Removing from a missing value yields [] and adding unique values to a missing one applies
// the operation to [], as the server does.
//
// Operations are immutable once made and are shared as FieldOperationPtr; a Value holds one as
// an immutable reference. Thread-safety: every member may be called from any thread (applying a
// relation operation changes the relation it is given, which locks itself).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <keel/base/Value.h>
#include <keel/objects/BackendObject.h>

namespace keel {

class Encoder;
class FieldOperation;
using FieldOperationPtr = std::shared_ptr<const FieldOperation>;

class FieldOperation : public ValueReference {
 public:
  static constexpr ReferenceKind kReferenceKind = ReferenceKind::FieldOperation;
  using ReferenceKindRoot = FieldOperation;

  enum class Type { Set, Delete, Increment, Add, AddUnique, Remove, Relation };
  Type type() const { return type_; }

  // Returns the JSON form, contained values encoded with `encoder`.
  virtual Value encodeWithObjectEncoder(const Encoder& encoder) const;
  // Returns the single operation equivalent to `previous` (may be null) followed by this one.
  virtual FieldOperationPtr mergeWithPrevious(const FieldOperationPtr& previous) const;
  // Returns the field's new value given its old one (none: the field has no value; a returned
  // none removes the field). `key` names the field, for messages.
  virtual std::optional<Value> applyToValue(const std::optional<Value>& oldValue, const std::string& key) const;

  // Returns this operation as a shared pointer / as a Value.
  FieldOperationPtr sharedOperation() const;
  Value toValue() const { return Value(sharedOperation()); }

 protected:
  explicit FieldOperation(Type type) : ValueReference(ReferenceKind::FieldOperation), type_(type) {}

 private:
  Type type_;
};

class SetOperation final : public FieldOperation {
 public:
  // Takes the value as it is (decoders and merges build these).
  explicit SetOperation(Value value);
  // Returns a set of an application's value; throws InvalidArgumentException for a dictionary
  // holding "__op" or "__type" (checkNoReservedKeys).
  static std::shared_ptr<const SetOperation> setWithValue(Value value);

  const Value& value() const { return value_; }

  Value encodeWithObjectEncoder(const Encoder& encoder) const override;
  FieldOperationPtr mergeWithPrevious(const FieldOperationPtr& previous) const override;
  std::optional<Value> applyToValue(const std::optional<Value>& oldValue, const std::string& key) const override;
  std::string className() const override { return "SetOperation"; }
  std::string description() const override;  // "set to %@"

 private:
  Value value_;
};

class DeleteOperation final : public FieldOperation {
 public:
  DeleteOperation() : FieldOperation(Type::Delete) {}
  // Returns the shared delete operation.
  static const std::shared_ptr<const DeleteOperation>& operation();

  Value encodeWithObjectEncoder(const Encoder& encoder) const override;
  FieldOperationPtr mergeWithPrevious(const FieldOperationPtr& previous) const override;
  std::optional<Value> applyToValue(const std::optional<Value>& oldValue, const std::string& key) const override;
  std::string className() const override { return "DeleteOperation"; }
  std::string description() const override { return "delete"; }
};

class IncrementOperation final : public FieldOperation {
 public:
  // REQUIRES: `amount` is a finite number.
  explicit IncrementOperation(Value amount);
  // Throws InvalidArgumentException unless `amount` is a finite number.
  static std::shared_ptr<const IncrementOperation> incrementWithAmount(Value amount);

  const Value& amount() const { return amount_; }

  Value encodeWithObjectEncoder(const Encoder& encoder) const override;
  FieldOperationPtr mergeWithPrevious(const FieldOperationPtr& previous) const override;
  std::optional<Value> applyToValue(const std::optional<Value>& oldValue, const std::string& key) const override;
  std::string className() const override { return "IncrementOperation"; }
  std::string description() const override;  // "increment by %@"

 private:
  Value amount_;
};

// The common part of the three array operations.
class ArrayOperation : public FieldOperation {
 public:
  const Array& objects() const { return objects_; }
  Value encodeWithObjectEncoder(const Encoder& encoder) const override;

 protected:
  ArrayOperation(Type type, Array objects) : FieldOperation(type), objects_(std::move(objects)) {}
  // Returns the "__op" name, a shared text.
  virtual const Value& opName() const = 0;

 private:
  Array objects_;
};

class AddOperation final : public ArrayOperation {
 public:
  explicit AddOperation(Array objects) : ArrayOperation(Type::Add, std::move(objects)) {}
  // Throws InvalidArgumentException for reserved keys, as setWithValue.
  static std::shared_ptr<const AddOperation> addWithObjects(Array objects);

  FieldOperationPtr mergeWithPrevious(const FieldOperationPtr& previous) const override;
  std::optional<Value> applyToValue(const std::optional<Value>& oldValue, const std::string& key) const override;
  std::string className() const override { return "AddOperation"; }
  std::string description() const override;  // "add %@"

 private:
  const Value& opName() const override {
    static const Value name("Add");
    return name;
  }
};

class AddUniqueOperation final : public ArrayOperation {
 public:
  explicit AddUniqueOperation(Array objects) : ArrayOperation(Type::AddUnique, std::move(objects)) {}
  static std::shared_ptr<const AddUniqueOperation> addUniqueWithObjects(Array objects);

  // Returns `array` with this operation's objects added: a saved object replaces the first
  // element standing for the same object, else is appended; any other value is appended unless
  // an equal one is there. Linear in the sizes of both.
  Array addedTo(const Array& array) const;

  FieldOperationPtr mergeWithPrevious(const FieldOperationPtr& previous) const override;
  std::optional<Value> applyToValue(const std::optional<Value>& oldValue, const std::string& key) const override;
  std::string className() const override { return "AddUniqueOperation"; }
  std::string description() const override;  // "addToSet %@"

 private:
  const Value& opName() const override {
    static const Value name("AddUnique");
    return name;
  }
};

class RemoveOperation final : public ArrayOperation {
 public:
  explicit RemoveOperation(Array objects) : ArrayOperation(Type::Remove, std::move(objects)) {}
  static std::shared_ptr<const RemoveOperation> removeWithObjects(Array objects);

  // Returns `array` without the elements equal to one of this operation's objects, and without
  // any object standing for the same saved object as one of them. Linear.
  Array removedFrom(const Array& array) const;

  FieldOperationPtr mergeWithPrevious(const FieldOperationPtr& previous) const override;
  std::optional<Value> applyToValue(const std::optional<Value>& oldValue, const std::string& key) const override;
  std::string className() const override { return "RemoveOperation"; }
  std::string description() const override;  // "remove %@"

 private:
  const Value& opName() const override {
    static const Value name("Remove");
    return name;
  }
};

class RelationOperation final : public FieldOperation {
 public:
  RelationOperation(std::optional<std::string> targetClass, ObjectSet relationsToAdd, ObjectSet relationsToRemove);
  // Throw InvalidArgumentException "All objects in a relation must be of the same class." when
  // the objects' class names differ. The target class is that name.
  static std::shared_ptr<const RelationOperation> addRelationToObjects(const std::vector<BackendObjectPtr>& objects);
  static std::shared_ptr<const RelationOperation> removeRelationToObjects(const std::vector<BackendObjectPtr>& objects);

  const std::optional<std::string>& targetClass() const { return targetClass_; }
  const ObjectSet& relationsToAdd() const { return relationsToAdd_; }
  const ObjectSet& relationsToRemove() const { return relationsToRemove_; }

  // Adds only: {"__op": "AddRelation", "objects": [...]}; removes only: "RemoveRelation"; both:
  // {"__op": "Batch", "ops": [add, remove]}; neither: InternalInconsistencyException
  // "A RelationOperation was created without any data.".
  Value encodeWithObjectEncoder(const Encoder& encoder) const override;
  FieldOperationPtr mergeWithPrevious(const FieldOperationPtr& previous) const override;
  // Applies to a Relation value, changing it in place, or makes one for a missing value.
  std::optional<Value> applyToValue(const std::optional<Value>& oldValue, const std::string& key) const override;
  std::string className() const override { return "RelationOperation"; }
  std::string description() const override;  // "RelationOperation<%@> add:%@ remove:%@"

 private:
  std::optional<std::string> targetClass_;
  ObjectSet relationsToAdd_;
  ObjectSet relationsToRemove_;
};

}  // namespace keel
