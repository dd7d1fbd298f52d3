// BackendObject: what the value coding and the field operations need of a backend object — its
// class name, its object id, and a local id for an object the server has not seen yet. The
// object class itself (fields, pending changes, saving) derives from this interface; the layer
// below it only ever handles objects through it.
//
// ObjectFactory: how decoders make objects. A pointer decodes to a shell (an object known by
// class and id, without data), an "Object" value to a complete object built from its fields.
// The factory installed from the start builds Objects of the class registered for each class
// name; tests may install another. With none installed (installFactory(nullptr)), decoding a
// pointer or an object value is a programming error.
//
// Thread-safety: the interface says nothing about locking; implementations guard their own
// state. ObjectFactory::installedFactory() and installFactory() may be called from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include <keel/base/Value.h>

namespace keel {

class Decoder;

class BackendObject : public ValueReference {
 public:
  static constexpr ReferenceKind kReferenceKind = ReferenceKind::Object;
  using ReferenceKindRoot = BackendObject;

  // className() (from ValueReference) is the backend class name, e.g. "Video".

  // Returns the server-assigned id, or none while the object was never saved.
  virtual std::optional<std::string> objectId() const = 0;
  // Returns the object's local id, making one the first time it is asked for. Later calls
  // return the same id. Used to refer to an unsaved object in commands kept for later.
  virtual std::string getOrCreateLocalId() = 0;

 protected:
  BackendObject() : ValueReference(ReferenceKind::Object) {}
};

using BackendObjectPtr = std::shared_ptr<BackendObject>;

// Returns true iff `a` and `b` stand for the same server row: the same object, or both saved
// with the same class name and object id. Ids are unique only within a class.
bool isSameBackendObject(const BackendObject& a, const BackendObject& b);

class ObjectFactory {
 public:
  virtual ~ObjectFactory() = default;

  // Returns an object of `className` with `objectId` and no data (a shell).
  // May throw InvalidArgumentException for a class name the object class refuses.
  virtual BackendObjectPtr objectWithoutDataWithClassNameObjectId(const std::string& className,
                                                                  const std::string& objectId) = 0;
  // Returns the object known under `localId`, or a shell of `className` carrying that local id.
  virtual BackendObjectPtr objectWithoutDataWithClassNameLocalId(const std::string& className,
                                                                 const std::string& localId) = 0;
  // Returns the object a decoded server dictionary describes ("objectId" and fields already
  // decoded): class from "className", else `defaultClassName`; its fields are merged in with
  // `decoder`, and all of them are known when `completeData`.
  virtual BackendObjectPtr objectFromDictionary(const Dictionary& dictionary,
                                                const std::string& defaultClassName,
                                                bool completeData, const Decoder& decoder) = 0;

  // Returns the installed factory, or nullptr.
  static std::shared_ptr<ObjectFactory> installedFactory();
  // Installs `factory` (nullptr removes it) and returns the one it replaces.
  static std::shared_ptr<ObjectFactory> installFactory(std::shared_ptr<ObjectFactory> factory);
};

// An ordered set of objects by identity, as relations keep them: adding an object already
// present keeps its first position; iteration follows insertion order.
//
// Thread-safety: a plain value; guard it like one.
class ObjectSet {
 public:
  ObjectSet() = default;
  explicit ObjectSet(const std::vector<BackendObjectPtr>& objects);

  // Returns true iff the object was not present.
  bool insert(const BackendObjectPtr& object);
  // Returns true iff the object was present.
  bool erase(const BackendObject* object);
  bool contains(const BackendObject* object) const;
  std::size_t size() const { return objects_.size(); }
  bool empty() const { return objects_.empty(); }
  const std::vector<BackendObjectPtr>& objects() const { return objects_; }
  auto begin() const { return objects_.begin(); }
  auto end() const { return objects_.end(); }
  // Equal when both hold the same objects, in any order.
  bool operator==(const ObjectSet& other) const;
  // Returns "{(a, b)}"-style text with each object's description.
  std::string description() const;

 private:
  std::vector<BackendObjectPtr> objects_;
  std::unordered_set<const BackendObject*> members_;
};

}  // namespace keel
