// The encoders turn in-memory values into the backend's JSON values: dictionaries, arrays,
// strings, numbers and null. Dates become {"__type": "Date", "iso": ...}, bytes
// {"__type": "Bytes", "base64": ...}, files, geo points and relations their "__type"
// dictionaries, an access-control list its permissions dictionary, a field operation its "__op"
// dictionary. The encoders differ only in how they write a backend object:
//
//   Encoder                        no value (the null Value)
//   NoObjectEncoder                throws "Objects are not allowed here."
//   PointerOrLocalIdObjectEncoder  a pointer; a local-id pointer for an unsaved object
//   PointerObjectEncoder           a pointer; an unsaved object throws
//   OfflineObjectEncoder           a pointer; an offline reference for an unsaved object
//
// Input is never changed; the result is new. Dates outside years 0-9999 are refused with
// InvalidArgumentException "Object values must be serializable to JSON": the date text has
// four year digits, and such a date would come back as another instant.
//
// Thread-safety: the shared encoders are stateless and may be used from any thread at once.
// An OfflineObjectEncoder guards its pending list with its own mutex.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include <keel/base/Value.h>
#include <keel/objects/BackendObject.h>
#include <keel/objects/OfflineObjectStore.h>
#include <keel/tasks/Task.h>

namespace keel {

// 0000-01-01T00:00:00.000Z and 9999-12-31T23:59:59.999Z: the instants the four-digit date text
// can name, so the only dates the encoders write and the decoders produce.
inline constexpr std::int64_t kFirstWritableMillis = -62167219200000;
inline constexpr std::int64_t kLastWritableMillis = 253402300799999;

class Encoder {
 public:
  virtual ~Encoder() = default;

  // Returns the shared base encoder.
  static const std::shared_ptr<Encoder>& objectEncoder();

  // Returns the JSON value of `object`. Kinds are tried in this order: backend object, bytes,
  // date, file, field operation (always written with PointerOrLocalIdObjectEncoder), ACL, geo
  // point, relation, array, dictionary; anything else comes back unchanged.
  Value encodeObject(const Value& object) const;
  // Returns how this encoder writes a backend object.
  virtual Value encodeBackendObject(const BackendObjectPtr& object) const;

 protected:
  // Returns a pointer {"__type": "Pointer", "objectId": id, "className": class}.
  static Value pointerTo(const BackendObject& object, const std::string& objectId);
};

class NoObjectEncoder : public Encoder {
 public:
  static const std::shared_ptr<NoObjectEncoder>& objectEncoder();
  // Throws InternalInconsistencyException "Objects are not allowed here.".
  Value encodeBackendObject(const BackendObjectPtr& object) const override;
};

class PointerOrLocalIdObjectEncoder : public Encoder {
 public:
  static const std::shared_ptr<PointerOrLocalIdObjectEncoder>& objectEncoder();
  // An unsaved object is written {"__type": "Pointer", "localId": id, "className": class}; the
  // object makes its local id on the first call and keeps it.
  Value encodeBackendObject(const BackendObjectPtr& object) const override;
};

class PointerObjectEncoder : public PointerOrLocalIdObjectEncoder {
 public:
  static const std::shared_ptr<PointerObjectEncoder>& objectEncoder();
  // Throws InternalInconsistencyException "Tried to save an object with a new, unsaved child."
  // for an unsaved object.
  Value encodeBackendObject(const BackendObjectPtr& object) const override;
};

// Writes an unsaved object as {"__type": "OfflineObject", "uuid": ...}, the uuid coming from
// the offline store asynchronously. Values are immutable once returned, so the dictionary comes
// back at once holding a placeholder under "uuid" (which JSON text refuses); once
// encodeFinished() has succeeded, resolvedValue() gives the output with every uuid filled in.
// Built per use; holds the store and the database for its life.
class OfflineObjectEncoder : public Encoder, public std::enable_shared_from_this<OfflineObjectEncoder> {
 public:
  static std::shared_ptr<OfflineObjectEncoder> objectEncoderWithOfflineStore(
      std::shared_ptr<OfflineObjectStore> store, std::shared_ptr<OfflineDatabase> database);

  Value encodeBackendObject(const BackendObjectPtr& object) const override;

  // Returns a task that completes when every uuid asked for so far is known: with the first
  // (in asking order) failed or cancelled outcome, else successfully, emptying the list.
  Task<void> encodeFinished() const;
  // Returns `encoded` with every placeholder this encoder made replaced by its uuid.
  // REQUIRES: encodeFinished() succeeded.
  Value resolvedValue(const Value& encoded) const;

  OfflineObjectEncoder(std::shared_ptr<OfflineObjectStore> store, std::shared_ptr<OfflineDatabase> database);

 private:
  std::shared_ptr<OfflineObjectStore> store_;
  std::shared_ptr<OfflineDatabase> database_;
  mutable std::mutex mutex_;
  mutable std::vector<Task<void>> pending_;
};

// Throws InvalidArgumentException when a plain dictionary in `value`, at any depth, holds the
// key "__op" or "__type": on the wire it would read as a field operation or a special value the
// application never asked for. Called where application values become pending changes.
void checkNoReservedKeys(const Value& value);

}  // namespace keel
