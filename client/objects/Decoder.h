// The decoders turn the backend's JSON values back into in-memory values: "__type" dictionaries
// into dates, bytes, geo points, relations, files and objects, "__op" dictionaries into field
// operations, everything else walked and rebuilt. They differ only in how a pointer or an
// offline reference is resolved:
//
//   Decoder             a pointer becomes a shell from the installed ObjectFactory
//   KnownObjectDecoder  a pointer to an object it was given (same class name and object id)
//                       becomes that object
//   OfflineDecoder      {"__type": "OfflineObject", "uuid": u} becomes the object its task for u
//                       produced
//
// Data from the server or from a file never makes a decoder throw: a special value that is
// malformed (a pointer without class name or id, bad base64, a non-string date text, a
// geo point with non-numeric coordinates, an undecodable or unknown operation) is kept as the
// raw dictionary it came as, and a warning is logged. Text SQLite cannot read as a date still
// gives the epoch. A dictionary whose "__type" names no known type comes back unchanged, its
// values not decoded. Decoding objects needs an installed ObjectFactory; without one it throws
// InternalInconsistencyException (the library is not set up, which no data can cause).
//
// Thread-safety: the decoders hold no mutable state; one may be used from any thread at once.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <keel/base/Value.h>
#include <keel/objects/BackendObject.h>
#include <keel/objects/FieldOperation.h>
#include <keel/tasks/Task.h>

namespace keel {

class KnownObjectDecoder;
class OfflineDecoder;

class Decoder {
 public:
  virtual ~Decoder() = default;

  // Returns the shared base decoder.
  static const std::shared_ptr<Decoder>& objectDecoder();
  // Returns the shared decoder for replies to queries that selected keys: the server sends
  // only the nested fields the keys name, so objects included in such a reply are decoded as
  // incomplete, with the keys they came with available.
  static const std::shared_ptr<Decoder>& partialObjectsDecoder();
  // Returns true iff "Object" values decode to complete objects.
  bool decodesNestedObjectsAsComplete() const { return nestedObjectsComplete_; }
  // Returns a decoder that resolves pointers to the given objects to those objects.
  static std::shared_ptr<KnownObjectDecoder> decoderWithFetchedObjects(const std::vector<BackendObjectPtr>& fetchedObjects);
  // Returns a decoder that resolves offline references through the tasks under their uuids.
  static std::shared_ptr<OfflineDecoder> decoderWithOfflineObjects(
      std::unordered_map<std::string, Task<BackendObjectPtr>> offlineObjects);

  // Returns the decoded value: a dictionary through decodeDictionary, an array through
  // decodeArray, anything else unchanged.
  virtual Value decodeObject(const Value& object) const;
  // Returns the decoded dictionary. An "__op" entry makes it a field operation (the null Value
  // for one that changes nothing); inside a dictionary, an entry that changes nothing is left
  // out.
  Value decodeDictionary(const Dictionary& dictionary) const;
  Value decodeArray(const Array& array) const;

  // Returns the pending change an encoded field value stands for: the operation of an "__op"
  // dictionary, else a set of the decoded value. Returns nullptr for a change of nothing and
  // (with a warning) for an operation that cannot be decoded.
  FieldOperationPtr decodeFieldChange(const Value& encoded) const;

  // How pointers are resolved. The base asks the installed ObjectFactory.
  virtual BackendObjectPtr decodePointerForClassNameObjectId(const std::string& className,
                                                             const std::string& objectId) const;
  virtual BackendObjectPtr decodePointerForClassNameLocalId(const std::string& className,
                                                            const std::string& localId) const;

 protected:
  bool nestedObjectsComplete_ = true;

 private:
  // Returns the decoded value of an "__op" dictionary: the operation, none for no change, or the
  // dictionary itself when it cannot be decoded.
  std::optional<Value> decodeOperationDictionary(const Dictionary& dictionary) const;
  Value decodeSpecialValue(const Dictionary& dictionary, const std::string& type) const;
};

class KnownObjectDecoder : public Decoder {
 public:
  explicit KnownObjectDecoder(const std::vector<BackendObjectPtr>& fetchedObjects);

  // Returns the given objects.
  std::vector<BackendObjectPtr> fetchedObjects() const;

  // Returns the given object of that class and id, else a shell as the base does.
  BackendObjectPtr decodePointerForClassNameObjectId(const std::string& className,
                                                     const std::string& objectId) const override;

 private:
  std::unordered_map<std::string, BackendObjectPtr> byIdentity_;
};

class OfflineDecoder : public Decoder {
 public:
  explicit OfflineDecoder(std::unordered_map<std::string, Task<BackendObjectPtr>> offlineObjects);

  const std::unordered_map<std::string, Task<BackendObjectPtr>>& offlineObjects() const { return offlineObjects_; }

  // An offline reference becomes the result of its task (the null Value when there is no task
  // under its uuid or the task has no result); everything else decodes as the base does.
  Value decodeObject(const Value& object) const override;

 private:
  std::unordered_map<std::string, Task<BackendObjectPtr>> offlineObjects_;
};

}  // namespace keel
