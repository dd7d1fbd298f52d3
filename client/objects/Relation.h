// Relation: the value of a many-to-many field, the link from one field of a parent object to
// objects of one target class. The value holds no list from the server: it knows its target
// class and the objects added or removed here ("known objects"). Reading the related objects
// takes a query.
//
// For now the relation is the value the coding and the relation operations need: a target
// class and the known objects. The parent and key it is read through, and its query, grow on
// this class later.
//
// Thread-safety: every member may be called from any thread; the state is guarded by a mutex.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <keel/base/Value.h>
#include <keel/objects/BackendObject.h>

namespace keel {

class Encoder;

class Relation : public ValueReference {
 public:
  static constexpr ReferenceKind kReferenceKind = ReferenceKind::Relation;
  using ReferenceKindRoot = Relation;

  explicit Relation(std::optional<std::string> targetClass = std::nullopt);

  // Returns a relation with only a target class.
  static std::shared_ptr<Relation> relationWithTargetClass(std::optional<std::string> targetClass);
  // Returns a relation with a target class and known objects (a decoded JSON form).
  static std::shared_ptr<Relation> relationWithTargetClassKnownObjects(std::optional<std::string> targetClass,
                                                                       const std::vector<BackendObjectPtr>& objects);

  std::optional<std::string> targetClass() const;
  void setTargetClass(std::optional<std::string> targetClass);

  bool hasKnownObject(const BackendObject& object) const;
  void addKnownObject(const BackendObjectPtr& object);
  void removeKnownObject(const BackendObject& object);
  // Returns the known objects in the order they became known.
  std::vector<BackendObjectPtr> knownObjects() const;

  // Returns {"__type": "Relation", "className": target class, "objects": [...]}, each known
  // object written by `encoder` ("className" is left out without a target class). The caller's
  // encoder decides about unsaved members: a pointer encoder throws for one, the encoder of a
  // command kept for later writes its local id.
  Dictionary encodeIntoDictionary(const Encoder& encoder) const;

  // The object and field this relation was read through (set when an object hands it out).
  void setParent(const std::shared_ptr<BackendObject>& parent, const std::string& key);
  std::shared_ptr<BackendObject> parent() const;
  std::optional<std::string> key() const;

  std::string className() const override { return "Relation"; }
  // "<Relation: 0x..., 0x0.(null) -> target>"
  std::string description() const override;

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> targetClass_;
  ObjectSet knownObjects_;
  std::weak_ptr<BackendObject> parent_;
  std::optional<std::string> key_;
};

}  // namespace keel
