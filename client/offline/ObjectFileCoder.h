// ObjectFileCoder: an object <-> the bytes of its current-object file (ObjectFileLayout).
//
// Writing takes the object's state (what the server last said: id, times, server data),
// encoded with the encoder given (the pointer encoder, for files, so a related object is
// written as a pointer and an unsaved one refuses to be written). Pending changes are not
// written: a current object is stored after it is saved or fetched.
//
// Reading makes an object without data of the stored class and id, then lets the coding
// logic of that class fill it (ObjectFileCodingLogic). Related objects come back as objects
// without data.
//
// ObjectFileCodingLogic: how a file's contents become an object's state. The general logic
// sets the id and times, then merges the fields as a complete fetch result would be. A class
// that keeps more in its file (the user's session token and linked services) registers a
// subclass of the logic for its class name; the file's contents reach it whole.
//
// Thread-safety: every member may be called from any thread; the logic holds no state. The
// object is read and changed through its own locked members, never while a file is locked.
#pragma once

#include <memory>
#include <string>

#include <keel/objects/Decoder.h>
#include <keel/objects/Encoder.h>
#include <keel/objects/Object.h>
#include <keel/offline/ObjectFileLayout.h>

namespace keel {

class ObjectFileCodingLogic {
 public:
  virtual ~ObjectFileCodingLogic() = default;

  // Returns the general logic.
  static std::shared_ptr<const ObjectFileCodingLogic> codingLogic();
  // Returns the logic registered for `className`, else the general one.
  static std::shared_ptr<const ObjectFileCodingLogic> codingLogicForClassName(const std::string& className);
  // Registers `logic` for the objects of `className` (nullptr removes it).
  static void registerCodingLogic(const std::string& className, std::shared_ptr<const ObjectFileCodingLogic> logic);

  // Fills `object` from a file's contents: object id and times first, then the fields (values
  // decoded with `decoder`), merged as a complete fetch result. The object's other fields go.
  // Throws what the decoder or the object throws for values it refuses.
  virtual void updateObject(Object& object, const ObjectFileContents& contents, const Decoder& decoder) const;
};

class ObjectFileCoder {
 public:
  // Returns the file's bytes for `object`'s current state, values encoded with `encoder`.
  // Throws what the encoder throws (the pointer encoder, for an unsaved related object).
  static Bytes dataFromObject(const Object& object, const Encoder& encoder);
  // Returns the object a file's bytes describe. Throws InvalidArgumentException with the reason
  // for a damaged file, and what the object class throws for a class name it refuses.
  static ObjectPtr objectFromData(const Bytes& data, const Decoder& decoder);
  // Returns the object the contents describe. Throws as objectFromData.
  static ObjectPtr objectFromContents(const ObjectFileContents& contents, const Decoder& decoder);
};

}  // namespace keel
