// OperationSet: one generation of an object's pending changes, one field operation per field.
// An object queues these: the last set collects new changes, earlier ones are saves in flight.
// A set carries a uuid that survives persisting (so a set kept in a file or a queued command
// is recognised when it comes back), the time of its last change, and whether it is to be
// saved eventually.
//
// Thread-safety: a plain value, not locked. Sets inside an object are only touched under the
// object's lock; copies handed out are the caller's.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <keel/base/Value.h>
#include <keel/objects/FieldOperation.h>

namespace keel {

class Decoder;
class Encoder;

class OperationSet {
 public:
  // A new empty set with a random uuid, updated now.
  OperationSet();
  // A new empty set with the given uuid, updated now.
  explicit OperationSet(std::string uuid);

  const std::string& uuid() const { return uuid_; }
  // The time of the last change; none for a set read back without one.
  const std::optional<Date>& updatedAt() const { return updatedAt_; }
  void setUpdatedAt(std::optional<Date> date) { updatedAt_ = date; }
  bool isSaveEventually() const { return saveEventually_; }
  void setSaveEventually(bool saveEventually) { saveEventually_ = saveEventually; }

  // Returns the operation pending for `key`, or nullptr.
  FieldOperationPtr objectForKey(std::string_view key) const;
  // Stores `operation` for `key` (replacing what was there) and marks the set updated now.
  // A null operation removes the key.
  void setObject(FieldOperationPtr operation, const std::string& key);
  void removeObjectForKey(std::string_view key);
  void removeAllObjects();
  std::size_t count() const { return operations_.size(); }
  bool empty() const { return operations_.empty(); }
  // Returns the keys in the order they were first changed.
  std::vector<std::string> keys() const { return operations_.keys(); }
  // Calls f(key, operation) for every entry, in key order.
  template <typename F>
  void forEach(F&& f) const {
    for (const auto& [key, value] : operations_) f(key, value.template as<const FieldOperation>());
  }

  // Returns a copy: the same uuid, operations, updated time and flag.
  OperationSet copy() const { return *this; }

  // Folds `older` (the set before this one) into this set, so that this set stands for both:
  // for each key of `older`, this set's operation becomes its merge with the older one, or the
  // older one where this set has none. Marks the set updated now.
  //
  // Never throws. A pair that does not merge (a Remove after an AddUnique, say) becomes a Set
  // of both applied in turn to `serverData`'s value for the key (a step that cannot apply is
  // skipped), so neither change is lost; without `serverData` they are applied to no value.
  void mergeOperationSet(const OperationSet& older, const Dictionary* serverData = nullptr);

  // Returns the persisted form: every operation encoded with `encoder` under its key, plus
  // "__uuid", "__updatedAt" (an encoded date, when known) and "__isSaveEventually" = true when
  // set. Throws what the encoder throws.
  Dictionary RESTDictionaryWithObjectEncoder(const Encoder& encoder) const;
  // Returns the set the persisted form describes. A missing "__uuid" gets a new one; a missing
  // or unreadable "__updatedAt" leaves the time unknown. "ACL" is rebuilt as an access list;
  // any other entry is decoded, a value that is not an operation becoming a Set. An entry that
  // changes nothing, or that cannot be decoded, is left out (with a warning) rather than
  // failing the whole set: these come from files.
  static OperationSet operationSetFromRESTDictionary(const Dictionary& dictionary, const Decoder& decoder);

  bool operator==(const OperationSet& other) const;

 private:
  Dictionary operations_;  // key -> Value holding a FieldOperationPtr
  std::string uuid_;
  std::optional<Date> updatedAt_;
  bool saveEventually_ = false;
};

// Applies `operation` to `dictionary[key]`: stores the new value, or removes the key when the
// operation leaves none. Throws what the operation's apply throws, leaving `dictionary` as it
// was.
void applyFieldOperationToDictionary(Dictionary& dictionary, const FieldOperation& operation, const std::string& key);

}  // namespace keel
