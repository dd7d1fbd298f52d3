// ObjectState: what the server last said about one object — class name, object id, creation
// and update times, the field values (server data), whether all fields are known, whether it
// was deleted. MutableObjectState adds the setters and the merge steps.
//
// An object holds a frozen state (shared_ptr<const ObjectState>) and replaces it whole: a
// change takes a mutable copy, edits it, and installs it frozen. A frozen state may be shared
// and read from any thread; a mutable one belongs to the code that made it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <keel/base/Value.h>
#include <keel/objects/BaseState.h>

namespace keel {

class Encoder;
class MutableObjectState;
class OperationSet;

class ObjectState : public BaseState {
 public:
  ObjectState() = default;
  ObjectState(std::string className, std::optional<std::string> objectId, bool complete);
  ObjectState(const ObjectState&) = default;
  ObjectState& operator=(const ObjectState&) = default;

  // Returns a frozen state of that class and id.
  static std::shared_ptr<const ObjectState> stateWithClassName(std::string className,
                                                               std::optional<std::string> objectId, bool complete);

  const std::string& className() const { return className_; }
  const std::optional<std::string>& objectId() const { return objectId_; }
  const std::optional<Date>& createdAt() const { return createdAt_; }
  const std::optional<Date>& updatedAt() const { return updatedAt_; }
  const Dictionary& serverData() const { return serverData_; }
  bool isComplete() const { return complete_; }
  bool isDeleted() const { return deleted_; }

  // Returns a frozen copy.
  std::shared_ptr<const ObjectState> copy() const;
  // Returns a mutable copy.
  std::shared_ptr<MutableObjectState> mutableCopy() const;

  // Returns "objectId" when set, "createdAt" and "updatedAt" when set (precise date text), and
  // every server-data entry encoded with `encoder`. Throws what the encoder throws.
  Dictionary dictionaryRepresentationWithObjectEncoder(const Encoder& encoder) const;

  PropertyList propertyValues() const override;
  std::string stateFamily() const override { return "ObjectState"; }

 protected:
  std::string className_;
  std::optional<std::string> objectId_;
  std::optional<Date> createdAt_;
  std::optional<Date> updatedAt_;
  Dictionary serverData_;
  bool complete_ = false;
  bool deleted_ = false;
};

class MutableObjectState : public ObjectState {
 public:
  using ObjectState::ObjectState;
  MutableObjectState(const ObjectState& state) : ObjectState(state) {}

  void setClassName(std::string className) { className_ = std::move(className); }
  void setObjectId(std::optional<std::string> objectId) { objectId_ = std::move(objectId); }
  void setCreatedAt(std::optional<Date> date) { createdAt_ = date; }
  void setUpdatedAt(std::optional<Date> date) { updatedAt_ = date; }
  void setServerData(Dictionary serverData) { serverData_ = std::move(serverData); }
  void setComplete(bool complete) { complete_ = complete; }
  void setDeleted(bool deleted) { deleted_ = deleted; }

  void setServerDataObject(Value value, const std::string& key) { serverData_.set(key, std::move(value)); }
  void removeServerDataObjectForKey(std::string_view key) { serverData_.remove(key); }
  void removeServerDataObjectsForKeys(const std::vector<std::string>& keys);
  // Parse with the shared date formatter: text it cannot read gives the epoch, as every date
  // the backend sends does.
  void setCreatedAtFromString(std::string_view text);
  void setUpdatedAtFromString(std::string_view text);

  // Takes `other`'s object id and times where it has them, lays its server data over this
  // one's, and becomes complete when either is.
  void applyState(const ObjectState& other);
  // Applies every operation of `operationSet` to the server data. Never throws: an operation
  // that does not apply to the value the server holds leaves that value (the server has
  // answered for it, and its reply is merged next).
  void applyOperationSet(const OperationSet& operationSet);
};

using ObjectStatePtr = std::shared_ptr<const ObjectState>;

}  // namespace keel
